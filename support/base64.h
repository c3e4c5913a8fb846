// Standard base64 with padding (libsodium's original variant).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

std::string base64Encode(const unsigned char* bytes, std::size_t size);

// The whole text must decode; characters listed in `ignore` (may be null) are skipped.
bool base64Decode(const std::string& text, const char* ignore, std::vector<unsigned char>& bytes);
