// SHA-256 (FIPS 180-4), for fixed-length memcache keys made from
// attacker-chosen ids.
#pragma once

#include <cstddef>
#include <string>

namespace replay_store {

// The 64 lowercase hex digits of the SHA-256 digest of `size` bytes.
std::string sha256_hex(const unsigned char* data, size_t size);

}  // namespace replay_store
