#include <gtest/gtest.h>

#include "support/manifest_lookup.h"

namespace {

struct Lookup {
    bool found;
    std::string value;
};

Lookup lookup(const std::string& text, const std::string& key, std::string before = "old") {
    std::string value = std::move(before);
    const bool found = getManifestValue(text, key.c_str(), value);
    return {found, value};
}

TEST(ManifestLookup, ValueEndsAtTheLineEnd) {
    EXPECT_EQ(lookup("URL_64BIT_SETUP=http://a/x.exe\r\nNEXT=1", "URL_64BIT_SETUP").value,
              "http://a/x.exe");
    EXPECT_EQ(lookup("A=1\rB=2", "A").value, "1");
    EXPECT_EQ(lookup("A=1\nB=2", "B").value, "2");
    // Nothing is trimmed.
    EXPECT_EQ(lookup("A= \"q\"\t\nB", "A").value, " \"q\"\t");
}

TEST(ManifestLookup, EmptyValueIsFound) {
    const Lookup result = lookup("A=\r\nB=2", "A");
    EXPECT_TRUE(result.found);
    EXPECT_EQ(result.value, "");
}

TEST(ManifestLookup, EntryMustStartTheTextOrFollowASeparator) {
    using namespace std::string_literals;
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        std::string text;
        bool found;
        std::string value;
    } cases[] = {
        {"X=1 A=2", true, "2"},
        {"X=1\tA=2", false, "old"},
        // An occurrence inside another word is passed over; the search goes on.
        {"XA=1\nA=2", true, "2"},
        {"X=1\tA=2\r\nA=3", true, "3"},
        {"URL_A=1 XA=2\rA=3\nA=4", true, "3"},
        {"XA=1\nYA=2", false, "old"},
        // A byte-order mark at the very start is skipped, and only there.
        {bom + "A=1", true, "1"},
        {bom + "XA=1\nA=2", true, "2"},
        {"X\n" + bom + "A=1", false, "old"},
        {bom, false, "old"},
        // A NUL byte still ends the search.
        {"XA=1\0\nA=2"s, false, "old"},
    };
    for (const auto& c : cases) {
        const Lookup result = lookup(c.text, "A");
        EXPECT_EQ(result.found, c.found) << c.text;
        EXPECT_EQ(result.value, c.value) << c.text;
    }
}

TEST(ManifestLookup, FirstOccurrenceWins) {
    EXPECT_EQ(lookup("A=first\nA=second", "A").value, "first");
    EXPECT_EQ(lookup("NOTE: see A=inline\nA=line", "A").value, "inline");
}

TEST(ManifestLookup, KeyIncludesTheEqualsSign) {
    EXPECT_FALSE(lookup("URL_64BIT_SETUP_SSL=x", "URL_64BIT_SETUP").found);
    EXPECT_FALSE(lookup("A =1", "A").found);
    EXPECT_FALSE(lookup("url_64bit_setup=x", "URL_64BIT_SETUP").found);
}

TEST(ManifestLookup, FalseLeavesTheOutputAlone) {
    EXPECT_EQ(lookup("B=1", "A", "kept").value, "kept");
    EXPECT_EQ(lookup("A=new", "A", "kept").value, "new");
}

TEST(ManifestLookup, OverlongKeyIsNotSearched) {
    const std::string key258(258, 'K');
    const std::string key259(259, 'K');
    EXPECT_TRUE(lookup(key258 + "=v", key258).found);
    EXPECT_FALSE(lookup(key259 + "=v", key259).found);
}

TEST(ManifestLookup, NulBytes) {
    using namespace std::string_literals;
    EXPECT_FALSE(lookup("X=1\n\0A=2"s, "A").found);
    const Lookup inside = lookup(
        "A=1\0"
        "2\nB"s,
        "A");
    EXPECT_TRUE(inside.found);
    EXPECT_EQ(inside.value,
              "1\0"
              "2"s);
}

}  // namespace
