#include <gtest/gtest.h>

#include "driver/installer_address.h"
#include "driver/manifest_trust.h"

namespace {

TEST(InstallerAddressChoice, EveryRowOfTheTable) {
    const InstallerAddresses addresses{"plain64", "plain32", "tls64", "tls32"};
    EXPECT_EQ(chooseInstallerAddress(addresses, true, true), "tls64");
    EXPECT_EQ(chooseInstallerAddress(addresses, true, false), "plain64");
    EXPECT_EQ(chooseInstallerAddress(addresses, false, true), "tls32");
    EXPECT_EQ(chooseInstallerAddress(addresses, false, false), "plain32");
    EXPECT_STREQ(installerAddressKey(true, true), "URL_64BIT_SETUP_SSL");
    EXPECT_STREQ(installerAddressKey(true, false), "URL_64BIT_SETUP");
    EXPECT_STREQ(installerAddressKey(false, true), "URL_32BIT_SETUP_SSL");
    EXPECT_STREQ(installerAddressKey(false, false), "URL_32BIT_SETUP");
}

TEST(InstallerAddressChoice, MissingAddressIsEmpty) {
    const InstallerAddresses addresses{"plain64", "plain32", "tls64", ""};
    EXPECT_EQ(chooseInstallerAddress(addresses, true, true), "tls64");
    EXPECT_EQ(chooseInstallerAddress(addresses, false, true), "");
}

TEST(InstallerAddressChoice, DigestComesFromTheSameSlotAsTheAddress) {
    InstallerAddresses addresses{"plain64", "plain32", "tls64", "tls32"};
    addresses.plain64Digest = "d-plain64";
    addresses.tls64Digest = "d-tls64";
    addresses.tls32Digest = "d-tls32";
    struct Row {
        bool wow64;
        bool nt6OrLater;
        const char* address;
        std::optional<std::string> digest;
    };
    const Row rows[] = {
        {true, true, "tls64", "d-tls64"},
        {true, false, "plain64", "d-plain64"},
        {false, true, "tls32", "d-tls32"},
        {false, false, "plain32", std::nullopt},
    };
    for (const Row& row : rows) {
        const ChosenInstaller chosen = chooseInstaller(addresses, row.wow64, row.nt6OrLater);
        EXPECT_EQ(chosen.address, row.address);
        EXPECT_EQ(chosen.digest, row.digest) << row.address;
    }
}

TEST(InstallerAddressChoice, MirrorsComeWithTheirOwnKey) {
    InstallerAddresses addresses{"plain64", "plain32", "tls64", "tls32"};
    addresses.tls64Mirrors = {"http://a/tls64.exe", "http://b/tls64.exe"};
    addresses.plain32Mirrors = {"http://a/plain32.exe"};
    EXPECT_EQ(chooseInstaller(addresses, true, true).mirrors, addresses.tls64Mirrors);
    EXPECT_EQ(chooseInstaller(addresses, false, false).mirrors, addresses.plain32Mirrors);
    EXPECT_TRUE(chooseInstaller(addresses, true, false).mirrors.empty());
    EXPECT_EQ(mirrorKey("URL_64BIT_SETUP_SSL", 8), "URL_64BIT_SETUP_SSL_MIRROR8");
}

TEST(InstallerAddressChoice, OnlyMirrorsThatPassTheAddressChecksAreUsed) {
    const std::string address = "https://main.example/setup.exe";
    struct Row {
        std::string mirror;
        bool usable;
    };
    const Row rows[] = {
        {"https://cdn.example/app/setup.exe", true},
        {"HTTP://cdn.example/setup.exe?v=2", true},
        {"https://cdn.example/\xC3\xA9.exe", true},
        {"ftp://cdn.example/setup.exe", false},
        {"gopher://cdn.example/setup.exe", false},
        {"cdn.example/setup.exe", false},
        {"https://cdn.example/set\tup.exe", false},
        {"https://cdn.example/set\x01up.exe", false},
        {"https://cdn.example/setup.exe\x7f", false},
        {"https://cdn.example/\xE9.exe", false},
        {"https://cdn.example/", false},
        {"https://cdn.example/..", false},
        {"https://cdn.example/x%2Fsetup.exe", false},
        {"https://cdn.example/NUL.exe", false},
        {address, false},  // the address itself is no alternate
    };
    for (const Row& row : rows) {
        EXPECT_EQ(mirrorProblem(row.mirror).empty(), row.usable || row.mirror == address)
            << row.mirror;
        const std::vector<std::string> usable = usableMirrors(address, {row.mirror, row.mirror});
        EXPECT_EQ(usable,
                  row.usable ? std::vector<std::string>{row.mirror} : std::vector<std::string>{})
            << row.mirror;
    }
}

TEST(ManifestTrust, CompiledInKeyText) {
    const std::string first =
        "-----BEGIN PUBLIC KEY-----\n"
        "MCowBQYDK2VwAyEA3CdqvUSxdw7lA5YenpdOPVEy3CfdSPOJ82+sNMncfto=\n"
        "-----END PUBLIC KEY-----\n";
    const std::string second =
        "-----BEGIN PUBLIC KEY-----\n"
        "MCowBQYDK2VwAyEAS0OC8V9fGtuP10VjJdiyK2Ovc0i8OeN5SV+IurzGv1Y=\n"
        "-----END PUBLIC KEY-----\n";
    struct Row {
        std::string pem;
        bool required;
        std::size_t keys;
    };
    const Row rows[] = {
        {"", false, 0},
        {first, true, 1},
        {first + second, true, 2},
        // Unreadable keys trust nothing rather than everything.
        {"-----BEGIN PUBLIC KEY-----\n@@@\n-----END PUBLIC KEY-----\n", true, 0},
        {first + "-----BEGIN PUBLIC KEY-----\n@@@\n-----END PUBLIC KEY-----\n", true, 0},
    };
    for (const Row& row : rows) {
        const ManifestTrust trust = manifestTrustFromPem(row.pem.c_str());
        EXPECT_EQ(trust.signatureRequired, row.required) << row.pem;
        EXPECT_EQ(trust.keys.size(), row.keys) << row.pem;
    }
}

}  // namespace
