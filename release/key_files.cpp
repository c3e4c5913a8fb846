#include "release/key_files.h"

#include "release/file_io.h"

bool readPrivateKeyFile(const std::string& path, Ed25519Seed& seed, std::string& error) {
    std::string pem;
    std::string reason;
    if (!readWholeFile(path, pem, reason)) {
        error = "cannot read the private key " + path + ": " + reason;
        return false;
    }
    const PemResult result = parseEd25519PrivateKey(pem, seed);
    sodium_memzero(&pem[0], pem.size());
    switch (result) {
        case PemResult::Ok:
            return true;
        case PemResult::NoKey:
            error = path + " holds no private key (a \"BEGIN PRIVATE KEY\" block)";
            break;
        case PemResult::Malformed:
            error = path + " holds a damaged private key block";
            break;
        case PemResult::WrongType:
            error = path + " holds a key that is not an Ed25519 private key";
            break;
    }
    return false;
}

bool readPublicKeysFile(const std::string& path, std::vector<Ed25519PublicKey>& keys,
                        std::string& error) {
    std::string pem;
    std::string reason;
    if (!readWholeFile(path, pem, reason)) {
        error = "cannot read the public keys " + path + ": " + reason;
        return false;
    }
    switch (parseEd25519PublicKeys(pem, keys)) {
        case PemResult::Ok:
            return true;
        case PemResult::NoKey:
            error = path + " holds no public key (a \"BEGIN PUBLIC KEY\" block)";
            break;
        case PemResult::Malformed:
            error = path + " holds a damaged public key block";
            break;
        case PemResult::WrongType:
            error = path + " holds a key that is not an Ed25519 public key";
            break;
    }
    return false;
}
