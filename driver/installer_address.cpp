#include "driver/installer_address.h"

#include "support/diagnostic_log.h"
#include "support/manifest_lookup.h"
#include "support/platform.h"
#include "transfer/single_requests.h"

const std::string& chooseInstallerAddress(const InstallerAddresses& addresses, bool wow64,
                                          bool nt6OrLater) {
    if (wow64) {
        return nt6OrLater ? addresses.tls64 : addresses.plain64;
    }
    return nt6OrLater ? addresses.tls32 : addresses.plain32;
}

namespace {

// Looks the keys up in order and stops at the first one missing, which it logs.
bool readAllKeys(const std::string& manifest, InstallerAddresses& addresses) {
    struct Key {
        const char* name;
        const char* missingMessage;
        std::string* value;
    };
    const Key keys[] = {
        {"URL_64BIT_SETUP", "Failed to get URL_64BIT_SETUP.", &addresses.plain64},
        {"URL_32BIT_SETUP", "Failed to get URL_32BIT_SETUP.", &addresses.plain32},
        {"URL_64BIT_SETUP_SSL", "Failed to get URL_64BIT_SETUP_SSL.", &addresses.tls64},
        {"URL_32BIT_SETUP_SSL", "Failed to get URL_32BIT_SETUP_SSL.", &addresses.tls32},
    };
    for (const Key& key : keys) {
        if (!getManifestValue(manifest, key.name, *key.value)) {
            writeLog(key.missingMessage);
            return false;
        }
    }
    return true;
}

}  // namespace

InstallerAddresses fetchInstallerAddresses(const std::string& manifestUrl) {
    InstallerAddresses addresses;
    for (int attempt = 0; attempt < kManifestAttempts; ++attempt) {
        // Each attempt reads only its own answer: the rest of an earlier, broken-off answer
        // would otherwise run into this one's first line.
        std::string manifest;
        if (!getData(manifestUrl, manifest)) {
            writeLog("Failed to call getData().");
            continue;
        }
        if (readAllKeys(manifest, addresses)) {
            break;
        }
    }
    return addresses;
}

std::string installerAddressForThisMachine(const InstallerAddresses& addresses) {
    const bool wow64 = platform::isWow64();
    const bool nt6OrLater = platform::isNt6OrLater() != 0;
    const std::string& chosen = chooseInstallerAddress(addresses, wow64, nt6OrLater);
    if (chosen.empty()) {
        writeLog("Failed to get the url of setup.");
    }
    return chosen;
}
