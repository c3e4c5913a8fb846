#include "driver/installer_address.h"

#include <algorithm>
#include <cctype>

#include "driver/run_trace_facts.h"
#include "job/installer_file_name.h"
#include "support/diagnostic_log.h"
#include "support/manifest_lookup.h"
#include "support/manifest_signature.h"
#include "support/platform.h"
#include "support/text_conversion.h"
#include "transfer/single_requests.h"

const char* const kInstallerAddressKeys[4] = {"URL_64BIT_SETUP", "URL_32BIT_SETUP",
                                              "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL"};
const char* const kArm64AddressKey = "URL_ARM64_SETUP_SSL";

namespace {

struct Slot {
    const char* key;
    std::string InstallerAddresses::*address;
    std::optional<std::string> InstallerAddresses::*digest;
    std::vector<std::string> InstallerAddresses::*mirrors;
};

Slot slotForMachine(bool wow64, bool nt6OrLater) {
    using A = InstallerAddresses;
    if (wow64) {
        return nt6OrLater
                   ? Slot{"URL_64BIT_SETUP_SSL", &A::tls64, &A::tls64Digest, &A::tls64Mirrors}
                   : Slot{"URL_64BIT_SETUP", &A::plain64, &A::plain64Digest, &A::plain64Mirrors};
    }
    return nt6OrLater ? Slot{"URL_32BIT_SETUP_SSL", &A::tls32, &A::tls32Digest, &A::tls32Mirrors}
                      : Slot{"URL_32BIT_SETUP", &A::plain32, &A::plain32Digest, &A::plain32Mirrors};
}

Slot arm64Slot() {
    using A = InstallerAddresses;
    return Slot{kArm64AddressKey, &A::arm64, &A::arm64Digest, &A::arm64Mirrors};
}

Slot slotForMachine(const InstallerAddresses& addresses, const MachineProbes& probes) {
    const bool wow64 = probes.isWow64();
    const bool nt6OrLater = probes.isNt6OrLater() != 0;
    // A 32-bit x86 program runs under WOW64 on ARM64 Windows too, emulated, where an x64
    // installer starts only if x64 programs are emulated as well (not before Windows 11).
    if (!wow64 || probes.nativeMachine() != platform::NativeMachine::Arm64) {
        return slotForMachine(wow64, nt6OrLater);
    }
    if (!addresses.arm64.empty()) {
        return arm64Slot();
    }
    return slotForMachine(probes.canRunX64Programs() == platform::Answer::Yes, true);
}

ChosenInstaller installerIn(const InstallerAddresses& addresses, const Slot& slot) {
    return ChosenInstaller{addresses.*slot.address, addresses.*slot.digest,
                           addresses.*slot.mirrors};
}

bool hasWebScheme(const std::string& address) {
    const std::size_t end = address.find("://");
    if (end == std::string::npos) {
        return false;
    }
    std::string scheme = address.substr(0, end);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme == "http" || scheme == "https";
}

}  // namespace

const char* installerAddressKey(bool wow64, bool nt6OrLater) {
    return slotForMachine(wow64, nt6OrLater).key;
}

const std::string& chooseInstallerAddress(const InstallerAddresses& addresses, bool wow64,
                                          bool nt6OrLater) {
    return addresses.*slotForMachine(wow64, nt6OrLater).address;
}

ChosenInstaller chooseInstaller(const InstallerAddresses& addresses, bool wow64, bool nt6OrLater) {
    return installerIn(addresses, slotForMachine(wow64, nt6OrLater));
}

ChosenInstaller chooseInstaller(const InstallerAddresses& addresses, const MachineProbes& probes) {
    return installerIn(addresses, slotForMachine(addresses, probes));
}

std::string mirrorKey(const std::string& addressKey, int number) {
    return addressKey + "_MIRROR" + std::to_string(number);
}

std::string mirrorProblem(const std::string& mirror) {
    std::u16string wide;
    if (!fromUtf8(mirror, wide) || holdsControlCharacter(wide)) {
        return "is not UTF-8 or holds a control character";
    }
    if (!hasWebScheme(mirror)) {
        return "is neither http nor https";
    }
    if (!installerFileName(wide)) {
        return "does not end in a usable file name";
    }
    return std::string();
}

std::vector<std::string> usableMirrors(const std::string& address,
                                       const std::vector<std::string>& mirrors) {
    std::vector<std::string> usable;
    for (const std::string& mirror : mirrors) {
        if (mirror != address && std::find(usable.begin(), usable.end(), mirror) == usable.end() &&
            mirrorProblem(mirror).empty()) {
            usable.push_back(mirror);
        }
    }
    return usable;
}

namespace {

// The digest and the alternates of an address, from the text the address was read from: an
// address is never paired with another text's.
void readCompanions(const std::string& manifest, const Slot& slot, InstallerAddresses& addresses) {
    const std::string digestKey = "SHA256_" + std::string(slot.key).substr(4);
    std::string digest;
    addresses.*slot.digest = getManifestValue(manifest, digestKey.c_str(), digest)
                                 ? std::optional<std::string>(digest)
                                 : std::nullopt;
    std::vector<std::string>& mirrors = addresses.*slot.mirrors;
    mirrors.clear();
    for (int number = 1; number <= kMaxMirrors; ++number) {
        std::string mirror;
        if (getManifestValue(manifest, mirrorKey(slot.key, number).c_str(), mirror)) {
            mirrors.push_back(mirror);
        }
    }
}

}  // namespace

bool readInstallerAddresses(const std::string& manifest, InstallerAddresses& addresses) {
    // URL_64BIT_SETUP, URL_32BIT_SETUP, URL_64BIT_SETUP_SSL, URL_32BIT_SETUP_SSL.
    const Slot slots[] = {slotForMachine(true, false), slotForMachine(false, false),
                          slotForMachine(true, true), slotForMachine(false, true)};
    for (const Slot& slot : slots) {
        if (!getManifestValue(manifest, slot.key, addresses.*slot.address)) {
            traceManifest("missing_key", slot.key);
            writeLog(("Failed to get " + std::string(slot.key) + ".").c_str());
            return false;
        }
        readCompanions(manifest, slot, addresses);
    }
    // Optional, and read last, so that a manifest without it is read, logged and fetched again
    // exactly as before it existed.
    const Slot arm64 = arm64Slot();
    if (!getManifestValue(manifest, arm64.key, addresses.arm64)) {
        addresses.arm64.clear();
    }
    readCompanions(manifest, arm64, addresses);
    return true;
}

namespace {

// The text whose keys may be read: the whole answer, or with a required signature only the
// bytes that a known key signed. False (logged) when no known key signed the answer.
bool readableManifest(const std::string& answer, const ManifestTrust& trust, std::string& text) {
    if (!trust.signatureRequired) {
        text = answer;
        return true;
    }
    if (!verifyManifest(answer, trust.keys, text)) {
        traceManifest("signature", "refused: not signed by a key this build trusts");
        writeLog("Failed to verify the setup manifest.");
        return false;
    }
    traceManifest("signature", "verified by a key this build trusts");
    return true;
}

}  // namespace

InstallerAddresses fetchInstallerAddresses(const std::string& manifestUrl,
                                           const ManifestTrust& trust,
                                           const MachineProbes& probes) {
    InstallerAddresses addresses;
    // One sequence of waits over every fetch's attempts, under the manifest phase's deadline:
    // a fetch that failed, or an answer without this machine's address (a captive portal's
    // page), makes the next fetch wait; an answer that lacks only another machine's address
    // does not.
    RetryPacer pacer = manifestPacer();
    for (int attempt = 0; attempt < kManifestAttempts; ++attempt) {
        // Each attempt reads only its own answer: the rest of an earlier, broken-off answer
        // would otherwise run into this one's first line.
        std::string answer;
        if (!getData(manifestUrl, answer, pacer)) {
            writeLog("Failed to call getData().");
            continue;
        }
        std::string manifest;
        if (!readableManifest(answer, trust, manifest)) {
            pacer.failed();
            continue;
        }
        if (readInstallerAddresses(manifest, addresses)) {
            break;
        }
        if (chooseInstaller(addresses, probes).address.empty()) {
            pacer.failed();
        }
    }
    return addresses;
}

ChosenInstaller installerForThisMachine(const InstallerAddresses& addresses,
                                        const MachineProbes& probes) {
    const Slot slot = slotForMachine(addresses, probes);
    ChosenInstaller chosen = installerIn(addresses, slot);
    traceMachine(slot.key);
    if (chosen.address.empty()) {
        writeLog("Failed to get the url of setup.");
    }
    return chosen;
}
