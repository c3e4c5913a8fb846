#include "support/sha256.h"

#include "support/sodium_ready.h"

Sha256Hasher::Sha256Hasher() {
    sodiumReady();
    crypto_hash_sha256_init(&state_);
}

void Sha256Hasher::update(const void* data, std::size_t size) {
    crypto_hash_sha256_update(&state_, static_cast<const unsigned char*>(data), size);
}

Sha256Digest Sha256Hasher::finish() {
    Sha256Digest digest{};
    crypto_hash_sha256_final(&state_, digest.data());
    return digest;
}

Sha256Digest sha256Of(const std::string& bytes) {
    Sha256Hasher hasher;
    hasher.update(bytes.data(), bytes.size());
    return hasher.finish();
}

std::string sha256Hex(const Sha256Digest& digest) {
    char text[crypto_hash_sha256_BYTES * 2 + 1] = {};
    sodium_bin2hex(text, sizeof text, digest.data(), digest.size());
    return text;
}

bool parseSha256Hex(const std::string& text, Sha256Digest& digest) {
    if (text.size() != digest.size() * 2) {
        return false;
    }
    Sha256Digest parsed{};
    std::size_t length = 0;
    const char* end = nullptr;
    // Without characters to ignore, anything but hex digits stops the conversion early.
    if (sodium_hex2bin(parsed.data(), parsed.size(), text.data(), text.size(), nullptr, &length,
                       &end) != 0 ||
        length != parsed.size() || end != text.data() + text.size()) {
        return false;
    }
    digest = parsed;
    return true;
}
