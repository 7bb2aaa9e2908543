#include "Ipv4Address.h"

#include <cstdlib>
#include <string>

namespace termlink {

std::optional<Ipv4Octets> parseDottedQuad(std::string_view text)
{
    Ipv4Octets octets {};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < octets.size(); ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return std::nullopt;
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return std::nullopt;
        octets[i] = static_cast<std::uint8_t>(value);
    }
    if (pos != text.size())
        return std::nullopt;
    return octets;
}

bool loopbackOnly()
{
    const char* value = std::getenv("LATCHWISE_LOOPBACK_ONLY");
    return value && *value && std::string_view(value) != "0";
}

} // namespace termlink
