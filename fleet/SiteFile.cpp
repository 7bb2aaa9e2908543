#include "SiteFile.h"

#include "Ipv4Address.h"
#include "Number.h"

#include <sys/stat.h>

#include <map>

namespace {

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Splits one CSV line; quoted fields may hold commas and doubled quotes.
std::optional<std::vector<std::string>> splitCsv(std::string_view line)
{
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    bool wasQuoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && trim(field).empty()) {
            quoted = true;
            wasQuoted = true;
            field.clear();
        } else if (c == ',') {
            fields.push_back(wasQuoted ? field : std::string(trim(field)));
            field.clear();
            wasQuoted = false;
        } else if (wasQuoted && c != ' ' && c != '\t') {
            return std::nullopt; // text after a closing quote
        } else if (!wasQuoted) {
            field += c;
        }
    }
    if (quoted)
        return std::nullopt;
    fields.push_back(wasQuoted ? field : std::string(trim(field)));
    return fields;
}

} // namespace

std::optional<std::string> normaliseIpv4(std::string_view text)
{
    // The control's own reader: a line passes exactly when the control would take its address.
    const auto octets = termlink::parseDottedQuad(text);
    if (!octets)
        return std::nullopt;
    std::string out;
    for (const std::uint8_t octet : *octets) {
        if (!out.empty())
            out += '.';
        out += std::to_string(octet);
    }
    return out;
}

SiteParse parseSite(std::string_view text)
{
    SiteParse result;
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    std::map<std::string, int> seen; // address -> line
    bool header = false;
    int lineNumber = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view {} : text.substr(end + 1);
        ++lineNumber;
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#')
            continue;
        const auto error = [&](const std::string& why) {
            result.errors.push_back("line " + std::to_string(lineNumber) + ": " + why);
        };
        const auto fields = splitCsv(line);
        if (!header) {
            header = true;
            if (!fields || *fields != std::vector<std::string> { "name", "address", "key" })
                error("the first line must be the header name,address,key");
            continue;
        }
        if (!fields || fields->size() != 3) {
            error("expected three fields name,address,key");
            continue;
        }
        SiteTerminal terminal;
        terminal.line = lineNumber;
        terminal.name = (*fields)[0];
        if (terminal.name.empty()) {
            error("the name is empty");
            continue;
        }
        const auto address = normaliseIpv4((*fields)[1]);
        if (!address) {
            error("\"" + (*fields)[1] + "\" is not a dotted IPv4 address");
            continue;
        }
        terminal.address = *address;
        if (!(*fields)[2].empty()) {
            const auto key = parseInt32((*fields)[2]);
            if (!key) {
                error("the key \"" + (*fields)[2] + "\" is not a whole number from -2147483648 to 2147483647");
                continue;
            }
            terminal.key = *key;
        }
        if (const auto [it, inserted] = seen.emplace(terminal.address, lineNumber); !inserted) {
            error("the address " + terminal.address + " is already on line " + std::to_string(it->second));
            continue;
        }
        result.terminals.push_back(std::move(terminal));
    }
    if (!header)
        result.errors.push_back("line 1: the first line must be the header name,address,key");
    else if (result.terminals.empty() && result.errors.empty())
        result.errors.push_back("line " + std::to_string(lineNumber) + ": the site has no terminals");
    return result;
}

std::optional<std::string> siteFileWarning(const std::filesystem::path& path, const std::vector<SiteTerminal>& site)
{
    struct stat info { };
    if (stat(path.c_str(), &info) != 0 || (info.st_mode & (S_IRGRP | S_IROTH)) == 0)
        return std::nullopt;
    for (const auto& terminal : site) {
        if (terminal.key != 0) {
            return path.string() + " holds communication keys and can be read by other users; chmod 600 "
                + path.string();
        }
    }
    return std::nullopt;
}
