// The setup manifest fetch and the choice of the installer address for this machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/machine_probes.h"
#include "driver/manifest_trust.h"

constexpr int kManifestAttempts = 5;

// The installer addresses a setup manifest names; empty when not (yet) found.
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
    // The native ARM64 installer (URL_ARM64_SETUP_SSL), optional, with its digest and
    // alternates (SHA256_ARM64_SETUP_SSL, URL_ARM64_SETUP_SSL_MIRRORn).
    std::string arm64;
    std::optional<std::string> arm64Digest;
    std::vector<std::string> arm64Mirrors;
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

// The four address keys every manifest names, in the order the manifest is read.
extern const char* const kInstallerAddressKeys[4];
// The optional address of ARM64 Windows, read after the four.
extern const char* const kArm64AddressKey;

// The manifest key of the address that a machine of this kind takes.
const char* installerAddressKey(bool wow64, bool nt6OrLater);

// 64-bit Windows takes the 64-bit addresses; Windows 6 (Vista) and later take the TLS ones.
const std::string& chooseInstallerAddress(const InstallerAddresses& addresses, bool wow64,
                                          bool nt6OrLater);
ChosenInstaller chooseInstaller(const InstallerAddresses& addresses, bool wow64, bool nt6OrLater);

// The installer for the machine that the probes describe, asked in this order and only as far
// as the choice needs: isWow64, isNt6OrLater, under WOW64 the native machine, and on ARM64
// without an ARM64 address whether x64 programs run. Anything but ARM64 chooses by the first
// two alone. ARM64 (always Windows 10 or later) takes the ARM64 address (an empty one counts as
// none), else the 64-bit TLS one where x64 programs surely run, else the 32-bit TLS one, which
// runs on every ARM64 Windows.
ChosenInstaller chooseInstaller(const InstallerAddresses& addresses, const MachineProbes& probes);

// Looks the four address keys up in the manifest text, in order, each with its digest and
// alternates, and stops at the first one missing, which it logs ("Failed to get
// URL_32BIT_SETUP_SSL."). Only when all four are found is the ARM64 address looked up; its
// absence is not logged. True when all four were found.
bool readInstallerAddresses(const std::string& manifest, InstallerAddresses& addresses);

// Fetches the manifest up to five times until all four keys are found, logging each failed
// attempt; values found in earlier attempts are kept. Every attempt starts from an empty
// manifest text. When the trust requires a signature, an attempt whose manifest no known key
// signed fails with "Failed to verify the setup manifest.", and the keys are looked up only in
// the signed text. The fetches are paced as one sequence under the manifest phase's deadline;
// once it has passed, the remaining fetches fail at once (each still logged).
InstallerAddresses fetchInstallerAddresses(const std::string& manifestUrl,
                                           const ManifestTrust& trust = {},
                                           const MachineProbes& probes = machineProbes());

// Probes the machine and returns the installer that fits it; its address is empty after
// logging "Failed to get the url of setup.".
ChosenInstaller installerForThisMachine(const InstallerAddresses& addresses,
                                        const MachineProbes& probes = machineProbes());
