#include "support/ed25519_pem.h"

#include <algorithm>
#include <cstdint>

#include "support/base64.h"
#include "support/sodium_ready.h"

namespace {

// DER prefixes of the two structures; the key bytes follow them directly.
// SEQUENCE { SEQUENCE { OID 1.3.101.112 } BIT STRING (33 bytes: 0 unused bits, key) }
const unsigned char kPublicKeyPrefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                          0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
// SEQUENCE { INTEGER 0, SEQUENCE { OID 1.3.101.112 }, OCTET STRING { OCTET STRING (seed) } }
const unsigned char kPrivateKeyPrefix[] = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                           0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};

struct PemBlock {
    std::string label;  // "PUBLIC KEY", "PRIVATE KEY", "RSA PRIVATE KEY"...
    std::string body;   // the base64 text between the two lines
    bool complete;
};

std::vector<PemBlock> pemBlocks(const std::string& text) {
    static const std::string kBegin = "-----BEGIN ";
    static const std::string kDashes = "-----";
    std::vector<PemBlock> blocks;
    std::size_t pos = 0;
    while ((pos = text.find(kBegin, pos)) != std::string::npos) {
        const std::size_t labelStart = pos + kBegin.size();
        const std::size_t labelEnd = text.find(kDashes, labelStart);
        if (labelEnd == std::string::npos) {
            break;
        }
        PemBlock block{text.substr(labelStart, labelEnd - labelStart), std::string(), false};
        const std::size_t bodyStart = labelEnd + kDashes.size();
        const std::string end = "-----END " + block.label + kDashes;
        const std::size_t bodyEnd = text.find(end, bodyStart);
        if (bodyEnd == std::string::npos) {
            blocks.push_back(block);
            break;
        }
        block.body = text.substr(bodyStart, bodyEnd - bodyStart);
        block.complete = true;
        blocks.push_back(block);
        pos = bodyEnd + end.size();
    }
    return blocks;
}

// A key whose DER is the prefix followed by exactly `keySize` bytes.
template <std::size_t PrefixSize, std::size_t KeySize>
PemResult keyFromBlock(const PemBlock& block, const unsigned char (&prefix)[PrefixSize],
                       std::array<unsigned char, KeySize>& key) {
    std::vector<unsigned char> der;
    if (!block.complete || !base64Decode(block.body, " \t\r\n", der)) {
        return PemResult::Malformed;
    }
    if (der.size() != PrefixSize + KeySize ||
        !std::equal(prefix, prefix + PrefixSize, der.begin())) {
        return PemResult::WrongType;
    }
    std::copy(der.begin() + PrefixSize, der.end(), key.begin());
    return PemResult::Ok;
}

std::string pemText(const std::string& label, const unsigned char* prefix, std::size_t prefixSize,
                    const unsigned char* key, std::size_t keySize) {
    std::vector<unsigned char> der(prefix, prefix + prefixSize);
    der.insert(der.end(), key, key + keySize);
    // Both structures are short enough for one line of at most 64 characters.
    return "-----BEGIN " + label + "-----\n" + base64Encode(der.data(), der.size()) +
           "\n-----END " + label + "-----\n";
}

bool labelEndsWith(const std::string& label, const std::string& kind) {
    return label.size() >= kind.size() &&
           label.compare(label.size() - kind.size(), kind.size(), kind) == 0;
}

}  // namespace

PemResult parseEd25519PublicKeys(const std::string& pem, std::vector<Ed25519PublicKey>& keys) {
    std::vector<Ed25519PublicKey> found;
    for (const PemBlock& block : pemBlocks(pem)) {
        if (block.label != "PUBLIC KEY") {
            // "RSA PUBLIC KEY" and private keys given where public ones belong.
            if (labelEndsWith(block.label, "KEY")) {
                return PemResult::WrongType;
            }
            continue;
        }
        Ed25519PublicKey key{};
        const PemResult result = keyFromBlock(block, kPublicKeyPrefix, key);
        if (result != PemResult::Ok) {
            return result;
        }
        found.push_back(key);
    }
    if (found.empty()) {
        return PemResult::NoKey;
    }
    keys = found;
    return PemResult::Ok;
}

PemResult parseEd25519PrivateKey(const std::string& pem, Ed25519Seed& seed) {
    for (const PemBlock& block : pemBlocks(pem)) {
        if (block.label == "PRIVATE KEY") {
            return keyFromBlock(block, kPrivateKeyPrefix, seed);
        }
        if (labelEndsWith(block.label, "KEY")) {
            return PemResult::WrongType;
        }
    }
    return PemResult::NoKey;
}

std::string formatEd25519PublicKey(const Ed25519PublicKey& key) {
    return pemText("PUBLIC KEY", kPublicKeyPrefix, sizeof kPublicKeyPrefix, key.data(), key.size());
}

std::string formatEd25519PrivateKey(const Ed25519Seed& seed) {
    return pemText("PRIVATE KEY", kPrivateKeyPrefix, sizeof kPrivateKeyPrefix, seed.data(),
                   seed.size());
}

Ed25519PublicKey ed25519PublicKeyOf(const Ed25519Seed& seed) {
    sodiumReady();
    Ed25519PublicKey publicKey{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey{};
    crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), seed.data());
    sodium_memzero(secretKey.data(), secretKey.size());
    return publicKey;
}
