#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "release/commands.h"
#include "release/file_io.h"
#include "support/ed25519_pem.h"
#include "support/sodium_ready.h"

namespace {

const char kUsage[] = "usage: release-tool keygen PRIVATE PUBLIC\n";

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

int keygenCommand(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (!argument.empty() && argument[0] == '-') {
            return usageError("keygen takes no option \"" + argument + "\"", kUsage);
        }
    }
    if (arguments.size() != 2) {
        return usageError("keygen needs the two files to create", kUsage);
    }
    const std::string& privatePath = arguments[0];
    const std::string& publicPath = arguments[1];
    if (privatePath == publicPath) {
        return usageError("the private and the public key need two different files", kUsage);
    }
    // Both are checked first so that a refusal leaves nothing behind; the exclusive creates
    // below still catch a file that appears meanwhile.
    for (const std::string* path : {&privatePath, &publicPath}) {
        if (exists(*path)) {
            return fail(*path + " already exists; keygen never overwrites a file");
        }
    }
    if (!sodiumReady()) {
        return fail("libsodium could not be initialised");
    }
    Ed25519Seed seed{};
    randombytes_buf(seed.data(), seed.size());
    std::string privatePem = formatEd25519PrivateKey(seed);
    const std::string publicPem = formatEd25519PublicKey(ed25519PublicKeyOf(seed));
    sodium_memzero(seed.data(), seed.size());

    std::string error;
    const bool privateWritten = createNewFile(privatePath, privatePem, 0600, error);
    sodium_memzero(&privatePem[0], privatePem.size());
    if (!privateWritten) {
        return fail("cannot create " + privatePath + ": " + error);
    }
    if (!createNewFile(publicPath, publicPem, 0644, error)) {
        ::unlink(privatePath.c_str());
        return fail("cannot create " + publicPath + ": " + error);
    }
    return kExitOk;
}
