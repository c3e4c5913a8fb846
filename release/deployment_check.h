// Whether each kind of machine would install from a published manifest, judged with the
// downloader's own lookup, address choice, file naming and download engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "release/address_facts.h"
#include "support/ed25519_pem.h"

enum class CheckStatus { Pass, Warn, Fail, Skipped };

struct CheckItem {
    std::string name;  // "signature", "address", "name", "scheme", "length", "ranges", ...
    CheckStatus status = CheckStatus::Skipped;
    std::string detail;
    // A check of an alternate address (..._MIRRORn): its failure leaves the machine installing
    // from the other sources, but the deployment is not sound.
    bool alternate = false;
};

struct MachineReport {
    std::string label;  // "64-bit, Vista or later"
    bool wow64 = false;
    bool nt6OrLater = false;
    bool arm64 = false;   // ARM64 Windows, which takes URL_ARM64_SETUP_SSL
    std::string key;      // the address key this machine reads
    std::string address;  // its value, empty when not read
    std::vector<CheckItem> items;

    bool installs() const;
    int warnings() const;
    bool alternatesSound() const;  // no alternate address failed its checks
};

struct DeploymentReport {
    std::string manifestUrl;
    CheckItem signature;
    // In the order of the downloader's address table, then ARM64 where the manifest names its
    // installer.
    std::vector<MachineReport> machines;

    bool allInstall() const;
    bool allAlternatesSound() const;
};

struct CheckSettings {
    bool keysGiven = false;
    std::string keysPath;
    std::vector<Ed25519PublicKey> keys;
    bool download = true;
    std::string workDirectory;  // private; downloads go into subdirectories of it
};

// Judges the manifest text (already fetched, valid UTF-8) and every address it names.
DeploymentReport checkDeployment(const std::string& manifestUrl, const std::string& manifest,
                                 const CheckSettings& settings, DownloadObserver& observer);
