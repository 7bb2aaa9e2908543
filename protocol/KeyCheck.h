#pragma once

#include <array>
#include <cstdint>
#include <span>

// The key check both ends compute: HMAC-SHA256 over the terminal's nonce,
// keyed with the communication key as its 4 bytes, little-endian two's
// complement (key 12345 is the key bytes 39 30 00 00). docs/protocol.md has a
// test vector.
namespace proto {

using Mac = std::array<std::uint8_t, 32>;

Mac keyCheckMac(std::int32_t key, std::span<const std::uint8_t> nonce);

// Compares in constant time; false also when `mac` is not 32 bytes long.
bool keyCheckMatches(std::int32_t key, std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> mac);

} // namespace proto
