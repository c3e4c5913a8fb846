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
    EXPECT_TRUE(lookup("X=1 A=2", "A").found);
    EXPECT_EQ(lookup("X=1 A=2", "A").value, "2");
    EXPECT_FALSE(lookup("X=1\tA=2", "A").found);
    // A rejected first occurrence is final, even with a proper entry later.
    EXPECT_FALSE(lookup("XA=1\nA=2", "A").found);
    EXPECT_FALSE(lookup("\xEF\xBB\xBF"
                        "A=1",
                        "A")
                     .found);
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
