#include <algorithm>

#include "release/commands.h"
#include "release/file_io.h"
#include "release/key_files.h"
#include "release/manifest_entries.h"
#include "support/manifest_signature.h"

namespace {

const char kUsage[] =
    "usage: release-tool sign --key PRIVATE MANIFEST [--installer KEY=FILE]...\n"
    "       KEY is URL_64BIT_SETUP, URL_32BIT_SETUP, URL_64BIT_SETUP_SSL, "
    "URL_32BIT_SETUP_SSL or URL_ARM64_SETUP_SSL\n";

struct SignRequest {
    std::string keyPath;
    std::string manifestPath;
    std::vector<std::pair<std::string, std::string>> installers;  // key, file
};

// Empty on success, else the usage error.
std::string parseSignArguments(const std::vector<std::string>& arguments, SignRequest& request) {
    for (std::size_t i = 0; i < arguments.size();) {
        std::string value;
        bool missing = false;
        if (takeOption(arguments, i, "--key", value, missing)) {
            if (missing) {
                return "--key needs the private key file";
            }
            if (!request.keyPath.empty()) {
                return "--key given twice";
            }
            request.keyPath = value;
        } else if (takeOption(arguments, i, "--installer", value, missing)) {
            if (missing) {
                return "--installer needs KEY=FILE";
            }
            const std::size_t equals = value.find('=');
            const std::string key = value.substr(0, equals);
            if (equals == std::string::npos || equals + 1 == value.size()) {
                return "--installer needs KEY=FILE, not \"" + value + "\"";
            }
            if (!isAddressKey(key)) {
                return "\"" + key + "\" is not one of the address keys";
            }
            for (const auto& installer : request.installers) {
                if (installer.first == key) {
                    return "--installer names " + key + " twice";
                }
            }
            request.installers.emplace_back(key, value.substr(equals + 1));
        } else if (!arguments[i].empty() && arguments[i][0] == '-') {
            return "unknown option \"" + arguments[i] + "\"";
        } else {
            if (!request.manifestPath.empty()) {
                return "only one manifest may be signed at a time";
            }
            request.manifestPath = arguments[i++];
        }
    }
    if (request.keyPath.empty()) {
        return "--key PRIVATE is required";
    }
    if (request.manifestPath.empty()) {
        return "no manifest named";
    }
    return std::string();
}

}  // namespace

int signCommand(const std::vector<std::string>& arguments) {
    SignRequest request;
    const std::string usage = parseSignArguments(arguments, request);
    if (!usage.empty()) {
        return usageError(usage, kUsage);
    }
    Ed25519Seed seed{};
    std::string error;
    if (!readPrivateKeyFile(request.keyPath, seed, error)) {
        return fail(error);
    }
    std::string manifest;
    if (!readWholeFile(request.manifestPath, manifest, error)) {
        return fail("cannot read the manifest " + request.manifestPath + ": " + error);
    }
    std::vector<DigestEntry> digests;
    for (const auto& [key, file] : request.installers) {
        std::string hex;
        if (!sha256OfFile(file, hex, error)) {
            return fail("cannot read the installer " + file + ": " + error);
        }
        digests.push_back(DigestEntry{key, hex});
    }
    std::string signedText;
    if (!prepareForSigning(manifest, digests, signedText, error)) {
        return fail(request.manifestPath + ": " + error);
    }
    const std::string signedManifest = signedText + manifestSignatureLine(signedText, seed);
    // What is written must be what a build with this key accepts.
    std::string verified;
    if (!verifyManifest(signedManifest, {ed25519PublicKeyOf(seed)}, verified) ||
        verified != signedText) {
        return fail("the signature made does not verify; nothing written");
    }
    sodium_memzero(seed.data(), seed.size());
    if (!replaceFileAtomically(request.manifestPath, signedManifest, error)) {
        return fail("cannot write " + request.manifestPath + ": " + error);
    }
    for (const DigestEntry& digest : digests) {
        std::printf("%s=%s\n", digestKeyFor(digest.addressKey).c_str(), digest.hex.c_str());
    }
    std::printf("signed %s\n", request.manifestPath.c_str());
    return kExitOk;
}
