#include <gtest/gtest.h>

#include "release/manifest_entries.h"
#include "support/manifest_lookup.h"

namespace {

const std::string kEntries =
    "URL_64BIT_SETUP=http://m/a64.exe\n"
    "URL_32BIT_SETUP=http://m/a32.exe\n"
    "URL_64BIT_SETUP_SSL=https://m/a64.exe\n"
    "URL_32BIT_SETUP_SSL=https://m/a32.exe\n";
const std::string kDigestA(64, 'a');
const std::string kDigestB(64, 'b');

TEST(ManifestEntries, DigestKeysFollowTheAddressKeys) {
    EXPECT_EQ(digestKeyFor("URL_64BIT_SETUP"), "SHA256_64BIT_SETUP");
    EXPECT_EQ(digestKeyFor("URL_32BIT_SETUP_SSL"), "SHA256_32BIT_SETUP_SSL");
    EXPECT_EQ(digestKeyFor("URL_ARM64_SETUP_SSL"), "SHA256_ARM64_SETUP_SSL");
    EXPECT_EQ(digestKeyFor("URL_16BIT_SETUP"), "");
}

TEST(ManifestEntries, SigningRefusesWhatTheDownloaderWouldMisread) {
    const struct {
        const char* what;
        std::string manifest;
        const char* reason;
        std::vector<DigestEntry> digests;
    } cases[] = {
        {"missing key", kEntries.substr(0, kEntries.rfind("URL_32BIT_SETUP_SSL")),
         "lacks URL_32BIT_SETUP_SSL"},
        {"lower-case key",
         "url_64bit_setup=x\n" + kEntries.substr(kEntries.find("URL_32BIT_SETUP=")),
         "lacks URL_64BIT_SETUP"},
        {"address key twice", kEntries + "URL_32BIT_SETUP=http://m/b.exe\n",
         "URL_32BIT_SETUP appears twice (lines 2 and 5)"},
        {"other key twice", "NOTE=a\n" + kEntries + "NOTE=b\n", "NOTE appears twice"},
        {"digest key twice",
         kEntries + "SHA256_64BIT_SETUP=" + kDigestA + "\nSHA256_64BIT_SETUP=" + kDigestB + "\n",
         "SHA256_64BIT_SETUP appears twice"},
        {"key after a tab", "\t" + kEntries, "URL_64BIT_SETUP does not start its line (line 1)"},
        {"key after a space in another entry",
         "NOTE=x URL_64BIT_SETUP=http://m/a.exe\n" + kEntries.substr(kEntries.find('\n') + 1),
         "URL_64BIT_SETUP does not start its line (line 1)"},
        {"an earlier occurrence that the lookup takes",
         "NOTE=old URL_32BIT_SETUP=http://m/old.exe\n" + kEntries,
         "the downloader would read URL_32BIT_SETUP from line 1, not from its entry on line 3"},
        {"digest entry hidden by an earlier occurrence",
         "NOTE=see SHA256_32BIT_SETUP=" + kDigestB + "\n" + kEntries +
             "SHA256_32BIT_SETUP=" + kDigestA + "\n",
         "the downloader would read SHA256_32BIT_SETUP from line 1"},
        {"not UTF-8", kEntries + "NOTE=caf\xe9\n", "is not UTF-8 text"},
        {"NUL byte", kEntries + std::string("NOTE=\0\n", 7), "holds a NUL byte"},
        {"empty address", "URL_64BIT_SETUP=\n" + kEntries.substr(kEntries.find('\n') + 1),
         "URL_64BIT_SETUP is empty (line 1)"},
        {"alternate numbered 9", kEntries + "URL_64BIT_SETUP_MIRROR9=http://n/a64.exe\n",
         "URL_64BIT_SETUP_MIRROR9 (line 5): alternates are numbered 1 to 8"},
        {"alternate of another scheme", kEntries + "URL_32BIT_SETUP_MIRROR1=ftp://n/a32.exe\n",
         "URL_32BIT_SETUP_MIRROR1 (line 5): the address is neither http nor https"},
        {"alternate without a file name", kEntries + "URL_32BIT_SETUP_MIRROR2=http://n/\n",
         "URL_32BIT_SETUP_MIRROR2 (line 5): the address does not end in a usable file name"},
        {"alternate hidden by an earlier occurrence",
         "NOTE=x URL_64BIT_SETUP_MIRROR1=http://old/a.exe\n" + kEntries +
             "URL_64BIT_SETUP_MIRROR1=http://n/a64.exe\n",
         "the downloader would read URL_64BIT_SETUP_MIRROR1 from line 1"},
        {"malformed digest that no --installer replaces", kEntries + "SHA256_32BIT_SETUP=nothex\n",
         "SHA256_32BIT_SETUP on line 5 is not 64 hexadecimal digits"},
        {"empty ARM64 address", kEntries + "URL_ARM64_SETUP_SSL=\n",
         "URL_ARM64_SETUP_SSL is empty (line 5); leave it out"},
        {"ARM64 alternate of another scheme",
         kEntries +
             "URL_ARM64_SETUP_SSL=https://m/arm.exe\nURL_ARM64_SETUP_SSL_MIRROR1=ftp://n/a\n",
         "URL_ARM64_SETUP_SSL_MIRROR1 (line 6): the address is neither http nor https"},
        {"ARM64 installer for a manifest without its address",
         kEntries,
         "an installer is given for URL_ARM64_SETUP_SSL, which the manifest lacks",
         {{"URL_ARM64_SETUP_SSL", kDigestA}}},
    };
    for (const auto& c : cases) {
        std::string signedText = "untouched";
        std::string problem;
        EXPECT_FALSE(prepareForSigning(c.manifest, c.digests, signedText, problem)) << c.what;
        EXPECT_NE(problem.find(c.reason), std::string::npos) << c.what << ": " << problem;
        EXPECT_EQ(signedText, "untouched") << c.what;
    }
}

TEST(ManifestEntries, SigningPreparesTheSignedText) {
    const std::string crlf =
        "URL_64BIT_SETUP=a\r\nURL_32BIT_SETUP=b\r\nURL_64BIT_SETUP_SSL=c\r\nURL_32BIT_SETUP_SSL=d";
    const struct {
        const char* what;
        std::string manifest;
        std::vector<DigestEntry> digests;
        std::string expected;
    } cases[] = {
        {"digests appended in the order given",
         kEntries,
         {{"URL_32BIT_SETUP", kDigestA}, {"URL_64BIT_SETUP_SSL", kDigestB}},
         kEntries + "SHA256_32BIT_SETUP=" + kDigestA + "\nSHA256_64BIT_SETUP_SSL=" + kDigestB +
             "\n"},
        {"a digest replaced where it stands",
         "SHA256_64BIT_SETUP=" + kDigestB + "\n" + kEntries + "NOTE=z\n",
         {{"URL_64BIT_SETUP", kDigestA}},
         "SHA256_64BIT_SETUP=" + kDigestA + "\n" + kEntries + "NOTE=z\n"},
        {"the old signature and what follows it dropped",
         kEntries + "SIGNATURE_ED25519=AAAA\nURL_64BIT_SETUP=http://evil/x.exe\n",
         {},
         kEntries},
        {"CRLF kept, the last line ended",
         crlf,
         {{"URL_32BIT_SETUP_SSL", kDigestA}},
         crlf + "\r\nSHA256_32BIT_SETUP_SSL=" + kDigestA + "\r\n"},
        {"a final line ending added", kEntries + "NOTE=end", {}, kEntries + "NOTE=end\n"},
        {"alternates kept with their numbers and gaps",
         kEntries +
             "URL_64BIT_SETUP_MIRROR1=http://n/a64.exe\nURL_64BIT_SETUP_MIRROR8=http://o/a.exe\n",
         {{"URL_64BIT_SETUP", kDigestA}},
         kEntries +
             "URL_64BIT_SETUP_MIRROR1=http://n/a64.exe\nURL_64BIT_SETUP_MIRROR8=http://o/a.exe\n" +
             "SHA256_64BIT_SETUP=" + kDigestA + "\n"},
        {"an ARM64 address with an alternate and its digest",
         kEntries + "URL_ARM64_SETUP_SSL=https://m/arm.exe\nURL_ARM64_SETUP_SSL_MIRROR2=http://n/"
                    "arm.exe\n",
         {{"URL_ARM64_SETUP_SSL", kDigestB}},
         kEntries +
             "URL_ARM64_SETUP_SSL=https://m/arm.exe\nURL_ARM64_SETUP_SSL_MIRROR2=http://n/"
             "arm.exe\n" +
             "SHA256_ARM64_SETUP_SSL=" + kDigestB + "\n"},
    };
    for (const auto& c : cases) {
        std::string signedText;
        std::string problem;
        ASSERT_TRUE(prepareForSigning(c.manifest, c.digests, signedText, problem))
            << c.what << ": " << problem;
        EXPECT_EQ(signedText, c.expected) << c.what;
    }
}

// Whether these are found is the downloader's lookup's business; signing follows it.
TEST(ManifestEntries, SigningAcceptsExactlyWhatTheLookupReads) {
    const struct {
        std::string manifest;
        const char* key;
        const char* value;
    } cases[] = {
        {"\xEF\xBB\xBF" + kEntries, "URL_64BIT_SETUP", "http://m/a64.exe"},
        {"NOTE=x\tURL_32BIT_SETUP=old\n" + kEntries, "URL_32BIT_SETUP", "http://m/a32.exe"},
    };
    for (const auto& c : cases) {
        std::string value;
        const bool lookupReadsTheEntry =
            getManifestValue(c.manifest, c.key, value) && value == c.value;
        std::string signedText;
        std::string problem;
        EXPECT_EQ(prepareForSigning(c.manifest, {}, signedText, problem), lookupReadsTheEntry)
            << c.key << ": " << problem;
        if (!lookupReadsTheEntry) {
            EXPECT_NE(problem.find(std::string("would not find ") + c.key), std::string::npos)
                << problem;
        }
    }
}

}  // namespace
