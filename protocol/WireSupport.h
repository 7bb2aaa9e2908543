#pragma once

#include "Protocol.h"

#include <cstdint>
#include <string>
#include <utility>

// The little-endian length word and the Invalid result, which the codec and
// the sealed-frame layer both use.
namespace proto::detail {

inline std::uint32_t getU32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void setU32(std::uint8_t* p, std::uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

inline DecodeResult invalid(std::string why)
{
    DecodeResult r;
    r.status = DecodeStatus::Invalid;
    r.error = std::move(why);
    return r;
}

} // namespace proto::detail
