// The installer's SHA-256 digest as the setup manifest gives it, and the check of a downloaded
// installer against it.
#pragma once

#include <optional>
#include <string>

#include "support/platform.h"
#include "support/sha256.h"

// What a downloaded installer must match before it may run.
struct InstallerDigestRule {
    // The manifest's SHA256_* entry for the chosen address, when it has one: 64 hexadecimal
    // digits, either case; anything else matches no file.
    std::optional<std::string> expected;
    // Set by builds that trust manifest keys: an installer without an entry never runs.
    bool required = false;
};

// True when the file's remaining bytes, read to its end, have exactly this digest.
bool fileHasDigest(platform::HeldFile& file, const Sha256Digest& digest);
