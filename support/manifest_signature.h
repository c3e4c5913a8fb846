// Signed setup manifests. The signature is one more KEY=value line, exactly
// "SIGNATURE_ED25519=<standard base64, with padding, of the 64-byte Ed25519 signature>", made over
// every byte of the manifest before the first byte of that line. The line thus ends the signed
// text; whatever follows it is not signed and is never read.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "support/ed25519_pem.h"

constexpr char kSignatureKey[] = "SIGNATURE_ED25519";

using Ed25519Signature = std::array<unsigned char, crypto_sign_BYTES>;

struct SignedManifest {
    std::string signedText;  // the bytes before the signature line (the whole text without one)
    bool hasSignatureLine = false;
    bool signatureWellFormed = false;  // the value decodes to exactly 64 bytes
    Ed25519Signature signature{};
};

// Splits at the first line that begins with "SIGNATURE_ED25519=" (at the start of the text or
// right after a CR or LF). The value runs to the next CR or LF or the end of the text.
SignedManifest splitSignedManifest(const std::string& manifest);

// True when the manifest carries a well-formed signature that one of the keys verifies;
// `signedText` then holds the signed bytes, the only ones that may be read. Left untouched on
// false.
bool verifyManifest(const std::string& manifest, const std::vector<Ed25519PublicKey>& keys,
                    std::string& signedText);

// The signature line (with its "\n") that signs `signedText` with the private key's seed.
std::string manifestSignatureLine(const std::string& signedText, const Ed25519Seed& seed);
