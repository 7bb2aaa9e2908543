#include "Status.h"

#include "Utf8.h"

#include <array>
#include <cstdio>

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
