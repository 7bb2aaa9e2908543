#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace termlink {

using Ipv4Octets = std::array<std::uint8_t, 4>;

// Reads a dotted four-octet address ("192.168.1.201") and nothing else: no
// host names, no short or hexadecimal forms, no blanks. Octets are decimal
// (a zero-padded "001" is 1, as some address fields write it).
std::optional<Ipv4Octets> parseDottedQuad(std::string_view text);

constexpr bool isLoopback(const Ipv4Octets& address)
{
    return address[0] == 127;
}

// Whether the loopback guard is on: LATCHWISE_LOOPBACK_ONLY set to anything
// but empty or "0". Read at each call, so a test can switch it.
bool loopbackOnly();

} // namespace termlink
