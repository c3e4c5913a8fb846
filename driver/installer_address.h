// The setup manifest fetch and the choice of the installer address for this machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/manifest_trust.h"

constexpr int kManifestAttempts = 5;

// The four installer addresses a setup manifest names; empty when not (yet) found.
struct InstallerAddresses {
    std::string plain64;  // URL_64BIT_SETUP
    std::string plain32;  // URL_32BIT_SETUP
    std::string tls64;    // URL_64BIT_SETUP_SSL
    std::string tls32;    // URL_32BIT_SETUP_SSL
    // The installer digests, each read from the same manifest text as its address; none when
    // that text had no entry.
    std::optional<std::string> plain64Digest;  // SHA256_64BIT_SETUP
    std::optional<std::string> plain32Digest;  // SHA256_32BIT_SETUP
    std::optional<std::string> tls64Digest;    // SHA256_64BIT_SETUP_SSL
    std::optional<std::string> tls32Digest;    // SHA256_32BIT_SETUP_SSL
    // Alternate addresses of the same file, each read from the same manifest text as its
    // address: the key's name + "_MIRROR" + 1..8 (URL_64BIT_SETUP_MIRROR1=...), in number
    // order, gaps skipped. Taken as they stand: usableMirrors judges them.
    std::vector<std::string> plain64Mirrors;
    std::vector<std::string> plain32Mirrors;
    std::vector<std::string> tls64Mirrors;
    std::vector<std::string> tls32Mirrors;
};

// The address chosen for the machine, with the digest that came with it.
struct ChosenInstaller {
    std::string address;
    std::optional<std::string> digest;
    std::vector<std::string> mirrors;  // the alternates named with the address's own key
};

// Alternate addresses per address key, numbered 1 to kMaxMirrors.
constexpr int kMaxMirrors = 8;

// "URL_64BIT_SETUP", 3 -> "URL_64BIT_SETUP_MIRROR3".
std::string mirrorKey(const std::string& addressKey, int number);

// The alternates that pass the checks the chosen address passes (UTF-8, no control character,
// an acceptable file name) and, since no transfer may reach another scheme, name http or
// https; each once, and none that is the address itself. The others are passed over.
std::vector<std::string> usableMirrors(const std::string& address,
                                       const std::vector<std::string>& mirrors);

// Why an alternate address cannot be used, following "the address " ("is neither http nor
// https"), or empty when it can.
std::string mirrorProblem(const std::string& mirror);

// The four address keys, in the order the manifest is read.
extern const char* const kInstallerAddressKeys[4];

// The manifest key of the address that a machine of this kind takes.
const char* installerAddressKey(bool wow64, bool nt6OrLater);

// 64-bit Windows takes the 64-bit addresses; Windows 6 (Vista) and later take the TLS ones.
const std::string& chooseInstallerAddress(const InstallerAddresses& addresses, bool wow64,
                                          bool nt6OrLater);
ChosenInstaller chooseInstaller(const InstallerAddresses& addresses, bool wow64, bool nt6OrLater);

// Fetches the manifest up to five times until all four keys are found, logging each failed
// attempt; values found in earlier attempts are kept. Every attempt starts from an empty
// manifest text. When the trust requires a signature, an attempt whose manifest no known key
// signed fails with "Failed to verify the setup manifest.", and the keys are looked up only in
// the signed text.
InstallerAddresses fetchInstallerAddresses(const std::string& manifestUrl,
                                           const ManifestTrust& trust = {});

// Probes the machine and returns the installer that fits it; its address is empty after
// logging "Failed to get the url of setup.".
ChosenInstaller installerForThisMachine(const InstallerAddresses& addresses);
