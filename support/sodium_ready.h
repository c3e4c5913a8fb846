// libsodium is set up once before its first use; later calls return at once.
#pragma once

#include <sodium.h>

inline bool sodiumReady() {
    return sodium_init() >= 0;
}
