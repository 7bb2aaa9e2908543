#include "Number.h"

#include <charconv>
#include <stdexcept>

std::optional<std::int32_t> parseInt32(std::string_view text)
{
    const bool hasSign = !text.empty() && (text.front() == '+' || text.front() == '-');
    const std::string_view digits = text.substr(hasSign ? 1 : 0);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    // from_chars takes a minus sign but no plus sign.
    if (text.front() == '+')
        text.remove_prefix(1);
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

std::int32_t parseCommKey(const std::string& text)
{
    const auto value = parseInt32(text);
    if (!value)
        throw std::runtime_error("'" + text + "' is not a valid integer value");
    return *value;
}
