#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The site file: CSV with the header `name,address,key`, one terminal per
// line, `#` comment lines and blank lines skipped. Fields may be quoted
// ("a, b"). The whole file is checked before any terminal is contacted.
struct SiteTerminal {
    std::string name;
    std::string address; // dotted IPv4, normalised ("127.0.1.001" -> "127.0.1.1")
    std::int32_t key = 0;
    int line = 0; // 1-based line of the file
};

struct SiteParse {
    std::vector<SiteTerminal> terminals;
    std::vector<std::string> errors; // "line N: ...", one per bad line
};

SiteParse parseSite(std::string_view text);

// A dotted four-part IPv4 address, each part 0-255 in decimal; nullopt for
// anything else (names, short or hexadecimal forms, blanks).
std::optional<std::string> normaliseIpv4(std::string_view text);

// A warning when the file can be read by group or others and holds a
// non-zero key; nullopt otherwise.
std::optional<std::string> siteFileWarning(const std::filesystem::path& path, const std::vector<SiteTerminal>& site);
