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
    const Slot slot = slotForMachine(wow64, nt6OrLater);
    return ChosenInstaller{addresses.*slot.address, addresses.*slot.digest,
                           addresses.*slot.mirrors};
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

// Looks the keys up in order and stops at the first one missing, which it logs.
bool readAllKeys(const std::string& manifest, InstallerAddresses& addresses) {
    struct Key {
        const char* name;
        const char* missingMessage;
        std::string* value;
        const char* digestName;
        std::optional<std::string>* digest;
        std::vector<std::string>* mirrors;
    };
    const Key keys[] = {
        {"URL_64BIT_SETUP", "Failed to get URL_64BIT_SETUP.", &addresses.plain64,
         "SHA256_64BIT_SETUP", &addresses.plain64Digest, &addresses.plain64Mirrors},
        {"URL_32BIT_SETUP", "Failed to get URL_32BIT_SETUP.", &addresses.plain32,
         "SHA256_32BIT_SETUP", &addresses.plain32Digest, &addresses.plain32Mirrors},
        {"URL_64BIT_SETUP_SSL", "Failed to get URL_64BIT_SETUP_SSL.", &addresses.tls64,
         "SHA256_64BIT_SETUP_SSL", &addresses.tls64Digest, &addresses.tls64Mirrors},
        {"URL_32BIT_SETUP_SSL", "Failed to get URL_32BIT_SETUP_SSL.", &addresses.tls32,
         "SHA256_32BIT_SETUP_SSL", &addresses.tls32Digest, &addresses.tls32Mirrors},
    };
    for (const Key& key : keys) {
        if (!getManifestValue(manifest, key.name, *key.value)) {
            traceManifest("missing_key", key.name);
            writeLog(key.missingMessage);
            return false;
        }
        // An address is never paired with a digest from another manifest text.
        std::string digest;
        *key.digest = getManifestValue(manifest, key.digestName, digest)
                          ? std::optional<std::string>(digest)
                          : std::nullopt;
        // Nor with alternates from another text.
        key.mirrors->clear();
        for (int number = 1; number <= kMaxMirrors; ++number) {
            std::string mirror;
            if (getManifestValue(manifest, mirrorKey(key.name, number).c_str(), mirror)) {
                key.mirrors->push_back(mirror);
            }
        }
    }
    return true;
}

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
                                           const ManifestTrust& trust) {
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
        if (readAllKeys(manifest, addresses)) {
            break;
        }
        if (chooseInstallerAddress(addresses, platform::isWow64(), platform::isNt6OrLater() != 0)
                .empty()) {
            pacer.failed();
        }
    }
    return addresses;
}

ChosenInstaller installerForThisMachine(const InstallerAddresses& addresses) {
    const bool wow64 = platform::isWow64();
    const bool nt6OrLater = platform::isNt6OrLater() != 0;
    ChosenInstaller chosen = chooseInstaller(addresses, wow64, nt6OrLater);
    traceMachine(wow64, nt6OrLater, installerAddressKey(wow64, nt6OrLater));
    if (chosen.address.empty()) {
        writeLog("Failed to get the url of setup.");
    }
    return chosen;
}
