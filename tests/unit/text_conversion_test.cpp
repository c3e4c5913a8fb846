#include <gtest/gtest.h>

#include "support/text_conversion.h"

namespace {

std::u16string decoded(const std::string& bytes, bool* ok = nullptr) {
    std::u16string out = u"untouched";
    const bool converted = fromUtf8(bytes, out);
    if (ok != nullptr) {
        *ok = converted;
    }
    return out;
}

bool rejects(const std::string& bytes) {
    bool ok = true;
    const std::u16string out = decoded(bytes, &ok);
    return !ok && out == u"untouched";
}

TEST(ToUtf8, EncodesEveryCodePointInItsShortestForm) {
    const struct {
        std::u16string units;
        std::string bytes;
    } cases[] = {
        {u"", ""},
        {u"A", "A"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u07FF", "\xDF\xBF"},
        {u"\u0800", "\xE0\xA0\x80"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {std::u16string(1, u'\0'), std::string(1, '\0')},
        // A surrogate pair is one code point: one four-byte sequence.
        {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {{0xD800, 0xDC00}, "\xF0\x90\x80\x80"},
        {{0xDBFF, 0xDFFF, u'x'}, "\xF4\x8F\xBF\xBFx"},
        // Lone surrogates keep their three-byte form.
        {{0xD83D}, "\xED\xA0\xBD"},
        {{0xDE00, 0xD83D}, "\xED\xB8\x80\xED\xA0\xBD"},
        {{0xD83D, u'a', 0xDE00},
         "\xED\xA0\xBD"
         "a"
         "\xED\xB8\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toUtf8(c.units), c.bytes);
    }
}

TEST(FromUtf8, DecodesStrictUtf8) {
    EXPECT_EQ(decoded(""), u"");
    EXPECT_EQ(decoded("\xC3\xA9"), u"\u00E9");
    EXPECT_EQ(decoded("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
    EXPECT_EQ(decoded("\xF4\x8F\xBF\xBF"), (std::u16string{0xDBFF, 0xDFFF}));
    // No byte-order mark is consumed.
    EXPECT_EQ(decoded("\xEF\xBB\xBF"
                      "A"),
              u"\uFEFFA");
}

TEST(FromUtf8, RejectsMalformedInputWhole) {
    EXPECT_TRUE(rejects("abc\xC3"));  // cut off by the end
    EXPECT_TRUE(
        rejects("\xE9"
                "A"));                         // a code-page letter, not UTF-8
    EXPECT_TRUE(rejects("\x80"));              // lone continuation byte
    EXPECT_TRUE(rejects("\xE2\x82"));          // three-byte sequence missing a byte
    EXPECT_TRUE(rejects("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_TRUE(rejects("\xF8\x88\x80\x80\x80"));
    EXPECT_TRUE(rejects("\xFF"));
}

TEST(FromUtf8, RejectsOverlongFormsAndEncodedSurrogates) {
    EXPECT_TRUE(rejects("\xC0\xAF"));
    EXPECT_TRUE(rejects("\xC1\xBF"));
    EXPECT_TRUE(rejects("\xE0\x80\xAF"));
    EXPECT_TRUE(rejects("\xF0\x80\x80\xAF"));
    EXPECT_TRUE(rejects("\xED\xA0\xBD"));
    EXPECT_TRUE(rejects("\xED\xBF\xBF"));
    // The last code points before the surrogates are fine.
    EXPECT_EQ(decoded("\xED\x9F\xBF"), u"\uD7FF");
}

TEST(TextConversion, RoundTrips) {
    const std::u16string text = u"C:\\Users\\Jos\u00E9 \u20AC\u4E2D/\U0001F600\U0010FFFF.exe";
    std::u16string back;
    ASSERT_TRUE(fromUtf8(toUtf8(text), back));
    EXPECT_EQ(back, text);
    const std::string bytes = "http://h/\xF0\x9F\x98\x80/\xE6\x97\xA5.exe";
    ASSERT_TRUE(fromUtf8(bytes, back));
    EXPECT_EQ(toUtf8(back), bytes);
}

}  // namespace
