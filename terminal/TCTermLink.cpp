#include "TCTermLink.h"

#include <array>
#include <cstdio>
#include <stdexcept>

namespace {

struct StatusText {
    HResult status;
    const char* text;
};

// A small stand-in for the platform's message table: only the statuses that a
// control is likely to return. E_FAIL deliberately has no text of its own.
constexpr std::array kStatusTexts {
    StatusText { kENotImpl, "Not implemented" },
    StatusText { kEUnexpected, "Catastrophic failure" },
    StatusText { kEInvalidArg, "The parameter is incorrect" },
    StatusText { kEOutOfMemory, "Not enough memory resources are available to complete this operation" },
    StatusText { kEAccessDenied, "Access is denied" },
};

} // namespace

std::string toUtf8(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // a lone surrogate cannot be encoded
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string fromUtf8(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        auto cont = [&](std::size_t k) {
            return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        };
        auto bits
            = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F); };
        if (b0 < 0x80) {
            cp = b0;
        } else if (b0 >= 0xC2 && b0 < 0xE0 && cont(1)) {
            cp = ((b0 & 0x1F) << 6) | bits(1);
            len = 2;
        } else if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) && cont(2)) {
            cp = ((b0 & 0x0F) << 12) | (bits(1) << 6) | bits(2);
            len = 3;
            if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))
                cp = 0xFFFD;
        } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
            cp = ((b0 & 0x07) << 18) | (bits(1) << 12) | (bits(2) << 6) | bits(3);
            len = 4;
            if (cp < 0x10000 || cp > 0x10FFFF)
                cp = 0xFFFD;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return out;
}

std::string systemStatusText(HResult status)
{
    for (const auto& entry : kStatusTexts) {
        if (entry.status == status)
            return entry.text;
    }
    return {};
}

std::string termLinkErrorText(HResult status, const std::u16string& description)
{
    std::string text = toUtf8(description);
    while (!text.empty() && (text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (!text.empty())
        return text;
    text = systemStatusText(status);
    if (!text.empty())
        return text;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "OLE error %.8x", static_cast<unsigned>(status));
    return buffer;
}

TCTermLink::TCTermLink(std::unique_ptr<ITermLinkObject> object)
    : m_object(std::move(object))
{
    if (!m_object)
        throw std::runtime_error("No terminal control object");
}

TCTermLink::~TCTermLink() = default;

ITermLink& TCTermLink::link()
{
    if (!m_link) {
        ITermLink* bound = nullptr;
        const HResult hr = m_object->QueryTermLink(&bound);
        if (failed(hr))
            throw std::runtime_error(termLinkErrorText(hr, {}));
        if (!bound)
            throw std::runtime_error(termLinkErrorText(kENotImpl, {}));
        m_link = bound;
    }
    return *m_link;
}

bool TCTermLink::check(const CallResult& result)
{
    if (failed(result.status))
        throw std::runtime_error(termLinkErrorText(result.status, result.description));
    return result.value != 0;
}

bool TCTermLink::ReadSerialNumber(std::int32_t machineNumber, std::u16string& serialNumber)
{
    serialNumber.clear();
    return check(link().ReadSerialNumber(machineNumber, serialNumber));
}

bool TCTermLink::ReadProductName(std::int32_t machineNumber, std::u16string& productName)
{
    productName.clear();
    return check(link().ReadProductName(machineNumber, productName));
}

bool TCTermLink::ReadFirmwareVersion(std::int32_t machineNumber, std::u16string& version)
{
    version.clear();
    return check(link().ReadFirmwareVersion(machineNumber, version));
}

bool TCTermLink::ReadSdkVersion(std::u16string& version)
{
    version.clear();
    return check(link().ReadSdkVersion(version));
}

bool TCTermLink::ConnectNetwork(const std::u16string& ipAddress, std::int32_t port)
{
    return check(link().ConnectNetwork(ipAddress, port));
}

void TCTermLink::DisconnectTerminal()
{
    check(link().DisconnectTerminal());
}

bool TCTermLink::SetCommKey(std::int32_t key)
{
    return check(link().SetCommKey(key));
}

bool TCTermLink::ReadTimeZone(std::int32_t machineNumber, std::int32_t index, std::u16string& text)
{
    text.clear();
    return check(link().ReadTimeZone(machineNumber, index, text));
}

bool TCTermLink::WriteTimeZone(std::int32_t machineNumber, std::int32_t index, const std::u16string& text)
{
    return check(link().WriteTimeZone(machineNumber, index, text));
}

bool TCTermLink::ReadGroupText(std::int32_t machineNumber, std::int32_t group, std::u16string& text)
{
    text.clear();
    return check(link().ReadGroupText(machineNumber, group, text));
}

bool TCTermLink::WriteGroupNumber(std::int32_t machineNumber, std::int32_t group, std::int32_t number)
{
    return check(link().WriteGroupNumber(machineNumber, group, number));
}

bool TCTermLink::RestartTerminal(std::int32_t machineNumber)
{
    return check(link().RestartTerminal(machineNumber));
}

bool TCTermLink::ReadVendorName(std::u16string& vendor)
{
    vendor.clear();
    return check(link().ReadVendorName(vendor));
}

bool TCTermLink::ReadOption(std::int32_t machineNumber, const std::u16string& name, std::u16string& value)
{
    value.clear();
    return check(link().ReadOption(machineNumber, name, value));
}

bool TCTermLink::WriteOption(std::int32_t machineNumber, const std::u16string& name, const std::u16string& value)
{
    return check(link().WriteOption(machineNumber, name, value));
}

bool TCTermLink::WriteUnlockCombination(std::int32_t machineNumber, std::int32_t c1, std::int32_t c2, std::int32_t c3,
    std::int32_t c4, std::int32_t c5, std::int32_t c6)
{
    return check(link().WriteUnlockCombination(machineNumber, c1, c2, c3, c4, c5, c6));
}

bool TCTermLink::IsColorTerminal(std::int32_t machineNumber)
{
    return check(link().IsColorTerminal(machineNumber));
}
