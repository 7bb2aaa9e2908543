#include "KeyCheck.h"

#include <sodium.h>

#include <stdexcept>

namespace proto {

Mac keyCheckMac(std::int32_t key, std::span<const std::uint8_t> nonce)
{
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium could not be initialised");
    }
    const auto k = static_cast<std::uint32_t>(key);
    const std::array<unsigned char, 4> keyBytes { static_cast<unsigned char>(k & 0xFF),
        static_cast<unsigned char>((k >> 8) & 0xFF), static_cast<unsigned char>((k >> 16) & 0xFF),
        static_cast<unsigned char>((k >> 24) & 0xFF) };
    // The streaming form takes a key of any length; the one-shot
    // crypto_auth_hmacsha256() would read 32 key bytes.
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, keyBytes.data(), keyBytes.size());
    crypto_auth_hmacsha256_update(&state, nonce.data(), nonce.size());
    Mac mac {};
    crypto_auth_hmacsha256_final(&state, mac.data());
    sodium_memzero(&state, sizeof state);
    return mac;
}

bool keyCheckMatches(std::int32_t key, std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> mac)
{
    if (mac.size() != crypto_auth_hmacsha256_BYTES) {
        return false;
    }
    const Mac expected = keyCheckMac(key, nonce);
    return crypto_verify_32(expected.data(), mac.data()) == 0;
}

} // namespace proto
