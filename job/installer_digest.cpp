#include "job/installer_digest.h"

#include <sodium.h>

#include <vector>

#include "support/run_trace.h"

namespace {
constexpr std::size_t kReadSize = 64 * 1024;
}  // namespace

bool fileHasDigest(platform::HeldFile& file, const Sha256Digest& digest) {
    Sha256Hasher hasher;
    std::vector<unsigned char> buffer(kReadSize);
    while (true) {
        const std::int64_t got = file.read(buffer.data(), buffer.size());
        if (got < 0) {
            TraceLine("digest").text("verdict", "the downloaded file could not be read");
            return false;
        }
        if (got == 0) {
            break;
        }
        hasher.update(buffer.data(), static_cast<std::size_t>(got));
    }
    const Sha256Digest actual = hasher.finish();
    const bool matches = sodium_memcmp(actual.data(), digest.data(), digest.size()) == 0;
    TraceLine("digest")
        .text("expected", sha256Hex(digest))
        .text("actual", sha256Hex(actual))
        .text("verdict",
              matches ? "SHA-256 matches" : "SHA-256 mismatch: not the file the manifest names");
    return matches;
}
