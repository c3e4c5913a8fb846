// The setup manifest fetch and the choice of the installer address for this machine.
#pragma once

#include <string>

constexpr int kManifestAttempts = 5;

// The four installer addresses a setup manifest names; empty when not (yet) found.
struct InstallerAddresses {
    std::string plain64;  // URL_64BIT_SETUP
    std::string plain32;  // URL_32BIT_SETUP
    std::string tls64;    // URL_64BIT_SETUP_SSL
    std::string tls32;    // URL_32BIT_SETUP_SSL
};

// 64-bit Windows takes the 64-bit addresses; Windows 6 (Vista) and later take the TLS ones.
const std::string& chooseInstallerAddress(const InstallerAddresses& addresses, bool wow64,
                                          bool nt6OrLater);

// Fetches the manifest up to five times until all four keys are found, logging each failed
// attempt; values found in earlier attempts are kept. Every attempt starts from an empty
// manifest text.
InstallerAddresses fetchInstallerAddresses(const std::string& manifestUrl);

// Probes the machine and returns the address that fits it, or empty after logging
// "Failed to get the url of setup.".
std::string installerAddressForThisMachine(const InstallerAddresses& addresses);
