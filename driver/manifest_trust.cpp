#include "driver/manifest_trust.h"

#include <string>

ManifestTrust manifestTrustFromPem(const char* pem) {
    ManifestTrust trust;
    const std::string text = pem != nullptr ? pem : "";
    if (text.empty()) {
        return trust;
    }
    trust.signatureRequired = true;
    if (parseEd25519PublicKeys(text, trust.keys) != PemResult::Ok) {
        trust.keys.clear();
    }
    return trust;
}
