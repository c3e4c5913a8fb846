// What a setup manifest must carry before it is read: nothing, or a signature by a known key.
#pragma once

#include <vector>

#include "support/ed25519_pem.h"

struct ManifestTrust {
    // Set whenever keys were compiled in, even when none of them could be read: such a build
    // then accepts no manifest rather than every one.
    bool signatureRequired = false;
    std::vector<Ed25519PublicKey> keys;
};

// The trust of an executable whose compiled-in key text is `pem` ("" for none).
ManifestTrust manifestTrustFromPem(const char* pem);
