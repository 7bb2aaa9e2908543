#pragma once

#include <sodium.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>

// Small helpers the key exchange's files share.
namespace proto::detail {

inline std::span<const std::uint8_t> bytesOf(std::string_view text)
{
    return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
}

// libsodium picks its fastest code paths here; safe to call more than once.
inline void ensureSodium()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not be initialised");
}

} // namespace proto::detail
