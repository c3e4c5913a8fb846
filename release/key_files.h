// Reading the key files the tool is given, with a one-line reason for every refusal.
#pragma once

#include <string>
#include <vector>

#include "support/ed25519_pem.h"

bool readPrivateKeyFile(const std::string& path, Ed25519Seed& seed, std::string& error);
bool readPublicKeysFile(const std::string& path, std::vector<Ed25519PublicKey>& keys,
                        std::string& error);
