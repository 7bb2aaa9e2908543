#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A signed 32-bit decimal whole number: an optional sign, then digits only.
// Blanks, other bases and values out of range give nullopt.
std::optional<std::int32_t> parseInt32(std::string_view text);

// The key field: as parseInt32, otherwise throws std::runtime_error
// "'<text>' is not a valid integer value".
std::int32_t parseCommKey(const std::string& text);
