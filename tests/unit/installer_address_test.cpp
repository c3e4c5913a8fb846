#include <gtest/gtest.h>

#include "driver/installer_address.h"
#include "driver/manifest_trust.h"
#include "tests/support/test_support.h"

namespace {

// One machine as its probes describe it, and the manifest it reads: each address named after its
// key, with a digest and an alternate of the same name, with or without URL_32BIT_SETUP_SSL and
// with or without URL_ARM64_SETUP_SSL after the four.
struct MachineRow {
    platform::NativeMachine native;
    bool wow64;
    platform::Answer x64;
    bool nt6OrLater;
    bool withArm64Key;
    bool withoutTls32;
};

std::string describe(const MachineRow& row) {
    return "native " + std::to_string(static_cast<int>(row.native)) + " wow64 " +
           std::to_string(row.wow64) + " x64 " + std::to_string(static_cast<int>(row.x64)) +
           " nt6 " + std::to_string(row.nt6OrLater) + " arm64 key " +
           std::to_string(row.withArm64Key) + " without tls32 " + std::to_string(row.withoutTls32);
}

void checkChoice(const MachineRow& row) {
    using platform::Answer;
    using platform::NativeMachine;
    const std::string arm64Key = "URL_ARM64_SETUP_SSL";
    std::vector<std::string> keys(std::begin(kInstallerAddressKeys),
                                  std::end(kInstallerAddressKeys));
    if (row.withoutTls32) {
        keys.pop_back();
    }
    if (row.withArm64Key) {
        keys.push_back(arm64Key);
    }
    std::string manifest;
    for (const std::string& key : keys) {
        manifest += key + "=http://h/" + key + ".exe\r\nSHA256_" + key.substr(4) + "=d-" + key +
                    "\r\n" + key + "_MIRROR1=http://m/" + key + ".exe\r\n";
    }

    // The address table of 32- and 64-bit Windows, before and from Vista; on ARM64 the ARM64
    // address (read only once the four are found), else the 64-bit TLS one where x64 programs
    // surely run, else the 32-bit TLS one.
    std::string expected = row.wow64 ? (row.nt6OrLater ? "URL_64BIT_SETUP_SSL" : "URL_64BIT_SETUP")
                                     : (row.nt6OrLater ? "URL_32BIT_SETUP_SSL" : "URL_32BIT_SETUP");
    std::string calls = row.wow64 ? "isWow64 isNt6OrLater nativeMachine" : "isWow64 isNt6OrLater";
    if (row.native == NativeMachine::Arm64) {
        if (row.withArm64Key && !row.withoutTls32) {
            expected = arm64Key;
        } else {
            calls += " canRunX64Programs";
            expected = row.x64 == Answer::Yes ? "URL_64BIT_SETUP_SSL" : "URL_32BIT_SETUP_SSL";
        }
    }
    if (row.withoutTls32 && expected == "URL_32BIT_SETUP_SSL") {
        expected.clear();
    }

    testing_support::ScopedTemporaryDirectory temp;
    std::string asked;
    const MachineProbes probes{[&] {
                                   asked += "isWow64";
                                   return row.wow64;
                               },
                               [&] {
                                   asked += " isNt6OrLater";
                                   return row.nt6OrLater ? 1 : 0;
                               },
                               [&] {
                                   asked += " nativeMachine";
                                   return row.native;
                               },
                               [&] {
                                   asked += " canRunX64Programs";
                                   return row.x64;
                               }};
    InstallerAddresses addresses;
    EXPECT_EQ(readInstallerAddresses(manifest, addresses), !row.withoutTls32);
    const ChosenInstaller chosen = installerForThisMachine(addresses, probes);

    const std::string where = describe(row);
    EXPECT_EQ(asked, calls) << where;
    if (expected.empty()) {
        EXPECT_EQ(chosen.address, "") << where;
    } else {
        EXPECT_EQ(chosen.address, "http://h/" + expected + ".exe") << where;
        EXPECT_EQ(chosen.digest, "d-" + expected) << where;
        EXPECT_EQ(chosen.mirrors, std::vector<std::string>{"http://m/" + expected + ".exe"})
            << where;
    }
    if (row.native != NativeMachine::Arm64 && !expected.empty()) {
        EXPECT_EQ(installerAddressKey(row.wow64, row.nt6OrLater), expected) << where;
    }
    const std::string log =
        std::string(row.withoutTls32 ? "Failed to get URL_32BIT_SETUP_SSL." : "") +
        (expected.empty() ? "Failed to get the url of setup." : "");
    EXPECT_EQ(testing_support::readFileBytes(temp.file(u"downloader_log.txt")), log) << where;
}

TEST(InstallerAddressChoice, EveryKindOfMachine) {
    using platform::Answer;
    using platform::NativeMachine;
    const std::pair<NativeMachine, bool> machines[] = {
        {NativeMachine::Unknown, false},  // 32-bit Windows before 10 (no IsWow64Process2)
        {NativeMachine::Unknown, true},   // 64-bit Windows before 10
        {NativeMachine::X86, false},     {NativeMachine::Amd64, true},
        {NativeMachine::Arm64, true},  // an x86 program runs under WOW64 there too
    };
    for (const auto& [native, wow64] : machines) {
        for (const Answer x64 : {Answer::Yes, Answer::No, Answer::Unknown}) {
            for (const bool withArm64Key : {false, true}) {
                for (const bool nt6OrLater : {false, true}) {
                    for (const bool withoutTls32 : {false, true}) {
                        checkChoice({native, wow64, x64, nt6OrLater, withArm64Key, withoutTls32});
                    }
                }
            }
        }
    }
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
