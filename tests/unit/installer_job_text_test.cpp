#include <gtest/gtest.h>

#include "job/installer_command_line.h"
#include "job/installer_file_name.h"
#include "support/windows_command_line.h"

namespace {

std::u16string nameOf(const std::u16string& address) {
    return installerFileName(address).value_or(u"<refused>");
}

TEST(InstallerFileName, LastPathSegmentWithoutQueryOrFragment) {
    EXPECT_EQ(nameOf(u"http://host/files/setup.exe"), u"setup.exe");
    EXPECT_EQ(nameOf(u"http://host/files/setup.exe?v=2"), u"setup.exe");
    EXPECT_EQ(nameOf(u"http://host/setup.exe#top"), u"setup.exe");
    EXPECT_EQ(nameOf(u"http://host/a?next=/b/c.exe"), u"a");
    EXPECT_EQ(nameOf(u"setup.exe"), u"setup.exe");
    EXPECT_EQ(nameOf(u"http://host/%2E%2E"), u"%2E%2E");
}

TEST(InstallerFileName, RefusesNamesThatCouldLeaveTheDirectory) {
    EXPECT_EQ(nameOf(u"http://host/files/"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/.."), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/."), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/..\\..\\evil.exe"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/c:evil.exe"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/a|b"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/a\"b"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/a\tb"), u"<refused>");
    EXPECT_EQ(nameOf(u""), u"<refused>");
    EXPECT_EQ(nameOf(u"?x"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/setup.exe."), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/setup.exe "), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/..."), u"<refused>");
}

TEST(InstallerFileName, RefusesDeviceNames) {
    EXPECT_EQ(nameOf(u"http://host/CON"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/nul.exe"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/Com1"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/lpt9.txt"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/console.exe"), u"console.exe");
    EXPECT_EQ(nameOf(u"http://host/COM10.exe"), u"COM10.exe");
    EXPECT_EQ(nameOf(u"http://host/com0"), u"com0");
}

RunOptions optionsWith(int silent, int verySilent, std::u16string directory,
                       std::u16string language) {
    RunOptions options;
    options.silent = silent;
    options.verySilent = verySilent;
    options.targetDirectory = std::move(directory);
    options.language = std::move(language);
    return options;
}

TEST(InstallerCommandLine, SwitchesInOrder) {
    EXPECT_EQ(installerCommandLine(u"C:\\Temp\\setup.exe",
                                   optionsWith(0, 1, u"C:\\Program Files\\App", u"en")),
              u"\"C:\\Temp\\setup.exe\" /VERYSILENT /DIR=\"C:\\Program Files\\App\" /LANG=en");
    EXPECT_EQ(installerCommandLine(u"C:\\T\\s.exe", optionsWith(1, 0, u"D:\\x", u"")),
              u"\"C:\\T\\s.exe\" /SILENT /DIR=\"D:\\x\" /LANG=");
    EXPECT_EQ(installerCommandLine(u"s.exe", optionsWith(1, 1, u"d", u"de")),
              u"\"s.exe\" /VERYSILENT /DIR=\"d\" /LANG=de");
}

TEST(InstallerCommandLine, SplitsBackIntoTheIntendedArguments) {
    const std::u16string line =
        installerCommandLine(u"C:\\Users\\Jane Doe\\Temp\\setup.exe",
                             optionsWith(0, 1, u"C:\\Program Files\\App", u"en"));
    const std::vector<std::u16string> expected = {u"C:\\Users\\Jane Doe\\Temp\\setup.exe",
                                                  u"/VERYSILENT", u"/DIR=C:\\Program Files\\App",
                                                  u"/LANG=en"};
    EXPECT_EQ(splitWindowsCommandLine(line), expected);
}

TEST(WindowsCommandLine, RuntimeQuotingRules) {
    using Args = std::vector<std::u16string>;
    EXPECT_EQ(splitWindowsCommandLine(u"prog a  b\tc"), (Args{u"prog", u"a", u"b", u"c"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog \"a b\" c\"d e\"f"),
              (Args{u"prog", u"a b", u"cd ef"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog a\\\\\"b c\""), (Args{u"prog", u"a\\b c"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog a\\\\\\\"b"), (Args{u"prog", u"a\\\"b"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog a\\b\\"), (Args{u"prog", u"a\\b\\"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog \"a\"\"b\""), (Args{u"prog", u"a\"b"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog \"\""), (Args{u"prog", u""}));
    // The program name takes no escapes.
    EXPECT_EQ(splitWindowsCommandLine(u"\"C:\\a b\\p.exe\" x"), (Args{u"C:\\a b\\p.exe", u"x"}));
    EXPECT_EQ(splitWindowsCommandLine(u"C:\\a\\\"p x"), (Args{u"C:\\a\\\"p", u"x"}));
    EXPECT_EQ(splitWindowsCommandLine(u"   "), Args{});
}

}  // namespace
