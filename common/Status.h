#pragma once

#include <cstdint>
#include <string>

// COM-style statuses, as the control reports them and the simulator answers
// them: 0 or positive is success, negative is failure.
using HResult = std::int32_t;

inline constexpr HResult kSOk = 0;
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005u);
inline constexpr HResult kENotImpl = static_cast<HResult>(0x80004001u);
inline constexpr HResult kEUnexpected = static_cast<HResult>(0x8000FFFFu);
inline constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057u);
inline constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kEAccessDenied = static_cast<HResult>(0x80070005u);

constexpr bool failed(HResult hr)
{
    return hr < 0;
}

// The error text for a failed call: the control's description without trailing
// blanks and full stops, else the system's text for the status, else
// "OLE error XXXXXXXX".
std::string termLinkErrorText(HResult status, const std::u16string& description);

// The system's text for a status code, or empty when it has none.
std::string systemStatusText(HResult status);
