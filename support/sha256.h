// SHA-256 digests (libsodium), fed piece by piece, and their hexadecimal form.
#pragma once

#include <sodium.h>

#include <array>
#include <cstddef>
#include <string>

using Sha256Digest = std::array<unsigned char, crypto_hash_sha256_BYTES>;

class Sha256Hasher {
public:
    Sha256Hasher();
    void update(const void* data, std::size_t size);
    Sha256Digest finish();

private:
    crypto_hash_sha256_state state_;
};

Sha256Digest sha256Of(const std::string& bytes);

// 64 lower-case hexadecimal digits.
std::string sha256Hex(const Sha256Digest& digest);

// Exactly 64 hexadecimal digits, either case; false for anything else.
bool parseSha256Hex(const std::string& text, Sha256Digest& digest);
