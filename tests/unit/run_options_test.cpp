#include <gtest/gtest.h>

#include "driver/integer_text.h"
#include "driver/run_options_parser.h"

namespace {

RunOptions parse(std::vector<std::u16string> arguments) {
    arguments.insert(arguments.begin(), u"C:\\downloader.exe");
    return parseRunOptions(arguments);
}

TEST(RunOptions, DefaultsWhenNothingIsGiven) {
    const RunOptions options = parse({});
    EXPECT_EQ(options.hostWindow, 0u);
    EXPECT_EQ(options.userMessage, 1024);
    EXPECT_TRUE(options.address.empty());
    EXPECT_EQ(options.silent, 0);
    EXPECT_EQ(options.verySilent, 0);
    EXPECT_FALSE(hasValidRunOptions(options));
}

TEST(RunOptions, LowerCaseOptionsAreRecognisedAndValuesKeepTheirCase) {
    const RunOptions options = parse({u"/hwnd:1234", u"/usermsg:1025", u"/url:http://Host/M",
                                      u"/path:D:\\x", u"/lang:En", u"/silent"});
    EXPECT_EQ(options.hostWindow, 1234u);
    EXPECT_EQ(options.userMessage, 1025);
    EXPECT_EQ(options.address, u"http://Host/M");
    EXPECT_EQ(options.targetDirectory, u"D:\\x");
    EXPECT_EQ(options.language, u"En");
    EXPECT_EQ(options.silent, 1);
    EXPECT_TRUE(hasValidRunOptions(options));
}

TEST(RunOptions, PrefixCountsOnlyAtTheStart) {
    const RunOptions options = parse({u"x/HWND:5", u" /URL:a", u"-/SILENT"});
    EXPECT_EQ(options.hostWindow, 0u);
    EXPECT_TRUE(options.address.empty());
    EXPECT_EQ(options.silent, 0);
}

TEST(RunOptions, LastValueWins) {
    const RunOptions options = parse({u"/URL:a", u"/PATH:p", u"/URL:b", u"/path:q"});
    EXPECT_EQ(options.address, u"b");
    EXPECT_EQ(options.targetDirectory, u"q");
}

TEST(RunOptions, FlagsAreMatchedByTheirOwnPrefixOnly) {
    RunOptions options = parse({u"/SILENTLY"});
    EXPECT_EQ(options.silent, 1);
    EXPECT_EQ(options.verySilent, 0);
    options = parse({u"/VERYSILENT"});
    EXPECT_EQ(options.silent, 0);
    EXPECT_EQ(options.verySilent, 1);
}

TEST(RunOptions, NumericValuesFollowTheRuntimeConversion) {
    EXPECT_EQ(parse({u"/HWND:abc"}).hostWindow, 0u);
    EXPECT_EQ(parse({u"/HWND:  42xyz"}).hostWindow, 42u);
    // The handle is the low 32 bits of the 64-bit value.
    EXPECT_EQ(parse({u"/HWND:4294967297"}).hostWindow, 1u);
    EXPECT_EQ(parse({u"/HWND:-1"}).hostWindow, 0xFFFFFFFFu);
    EXPECT_EQ(parse({u"/USERMSG:x"}).userMessage, 0);
    EXPECT_EQ(parse({u"/USERMSG:+2000"}).userMessage, 2000);
}

TEST(RunOptions, ValidationNeedsDirectoryAddressAndExactlyOneFlag) {
    EXPECT_FALSE(hasValidRunOptions(parse({u"/URL:u", u"/SILENT"})));
    EXPECT_FALSE(hasValidRunOptions(parse({u"/URL:u", u"/PATH:", u"/SILENT"})));
    EXPECT_FALSE(hasValidRunOptions(parse({u"/URL:", u"/PATH:p", u"/SILENT"})));
    EXPECT_FALSE(hasValidRunOptions(parse({u"/URL:u", u"/PATH:p"})));
    EXPECT_FALSE(hasValidRunOptions(parse({u"/URL:u", u"/PATH:p", u"/SILENT", u"/VERYSILENT"})));
    EXPECT_TRUE(hasValidRunOptions(parse({u"/URL:u", u"/PATH:p", u"/VERYSILENT"})));
    // No language is fine.
    EXPECT_TRUE(parse({u"/URL:u", u"/PATH:p", u"/SILENT"}).language.empty());
}

TEST(IntegerText, ReadsLikeTheRuntime) {
    EXPECT_EQ(wideToInt64(u""), 0);
    EXPECT_EQ(wideToInt64(u" \t\n-17"), -17);
    EXPECT_EQ(wideToInt64(u"+"), 0);
    EXPECT_EQ(wideToInt64(u"- 5"), 0);
    EXPECT_EQ(wideToInt64(u"12 34"), 12);
    EXPECT_EQ(wideToInt64(u"0x10"), 0);
    EXPECT_EQ(wideToInt32(u"2147483647"), 2147483647);
    EXPECT_EQ(wideToInt32(u"-2147483648"), INT32_MIN);
}

TEST(IntegerText, OverflowClampsToTheTypeLimits) {
    EXPECT_EQ(wideToInt32(u"2147483648"), INT32_MAX);
    EXPECT_EQ(wideToInt32(u"-2147483649"), INT32_MIN);
    EXPECT_EQ(wideToInt64(u"9223372036854775807"), INT64_MAX);
    EXPECT_EQ(wideToInt64(u"9223372036854775808"), INT64_MAX);
    EXPECT_EQ(wideToInt64(u"-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(wideToInt64(u"-99999999999999999999999"), INT64_MIN);
}

}  // namespace
