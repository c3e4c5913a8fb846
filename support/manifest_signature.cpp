#include "support/manifest_signature.h"

#include <algorithm>
#include <cstring>

#include "support/base64.h"
#include "support/sodium_ready.h"

namespace {

bool startsLine(const std::string& text, std::size_t pos) {
    return pos == 0 || text[pos - 1] == '\n' || text[pos - 1] == '\r';
}

std::size_t findSignatureLine(const std::string& text) {
    const std::string pattern = std::string(kSignatureKey) + "=";
    for (std::size_t pos = text.find(pattern); pos != std::string::npos;
         pos = text.find(pattern, pos + 1)) {
        if (startsLine(text, pos)) {
            return pos;
        }
    }
    return std::string::npos;
}

bool decodeSignature(const std::string& value, Ed25519Signature& signature) {
    std::vector<unsigned char> bytes;
    if (!base64Decode(value, nullptr, bytes) || bytes.size() != signature.size()) {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), signature.begin());
    return true;
}

}  // namespace

SignedManifest splitSignedManifest(const std::string& manifest) {
    sodiumReady();
    SignedManifest parts;
    const std::size_t line = findSignatureLine(manifest);
    if (line == std::string::npos) {
        parts.signedText = manifest;
        return parts;
    }
    parts.signedText = manifest.substr(0, line);
    parts.hasSignatureLine = true;
    const std::size_t valueStart = line + std::strlen(kSignatureKey) + 1;
    const std::size_t valueEnd = manifest.find_first_of("\r\n", valueStart);
    const std::string value = manifest.substr(
        valueStart, valueEnd == std::string::npos ? std::string::npos : valueEnd - valueStart);
    parts.signatureWellFormed = decodeSignature(value, parts.signature);
    return parts;
}

bool verifyManifest(const std::string& manifest, const std::vector<Ed25519PublicKey>& keys,
                    std::string& signedText) {
    const SignedManifest parts = splitSignedManifest(manifest);
    if (!parts.signatureWellFormed) {
        return false;
    }
    const auto* message = reinterpret_cast<const unsigned char*>(parts.signedText.data());
    for (const Ed25519PublicKey& key : keys) {
        if (crypto_sign_verify_detached(parts.signature.data(), message, parts.signedText.size(),
                                        key.data()) == 0) {
            signedText = parts.signedText;
            return true;
        }
    }
    return false;
}

std::string manifestSignatureLine(const std::string& signedText, const Ed25519Seed& seed) {
    sodiumReady();
    Ed25519PublicKey publicKey{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey{};
    crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), seed.data());
    Ed25519Signature signature{};
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(signedText.data()),
                         signedText.size(), secretKey.data());
    sodium_memzero(secretKey.data(), secretKey.size());
    return std::string(kSignatureKey) + "=" + base64Encode(signature.data(), signature.size()) +
           "\n";
}
