#pragma once

#include "ConnectFailure.h"
#include "Status.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The terminal control's interface: the seventeen operations the program calls,
// in their order of declaration. Every operation reports a COM-style status
// (0 or positive: success; negative: failure, optionally with a description)
// and, where it has one, a 16-bit boolean result. Texts are UTF-16. A
// ConnectNetwork that answers false names its cause in a success-class status
// (ConnectFailure.h) and says it in the description.
//
// The control lives in a separately loaded library; both sides are built with
// the same compiler and standard library, so standard types may cross.

// What one call returns: its status, the operation's boolean (all 16 bits
// count: zero is false, any other value true) and, on failure or a refused
// connect, the control's own description (may be empty).
struct CallResult {
    HResult status = kSOk;
    std::int16_t value = 0;
    std::u16string description;

    static CallResult ok(bool result) { return { kSOk, static_cast<std::int16_t>(result ? -1 : 0), {} }; }
    static CallResult failure(HResult hr, std::u16string text = {}) { return { hr, 0, std::move(text) }; }
    static CallResult connectFailed(ConnectFailure cause, std::u16string text)
    {
        return { connectFailureStatus(cause), 0, std::move(text) };
    }
};

class ITermLink {
public:
    virtual ~ITermLink() = default;

    virtual CallResult ReadSerialNumber(std::int32_t machineNumber, std::u16string& serialNumber) = 0;
    virtual CallResult ReadProductName(std::int32_t machineNumber, std::u16string& productName) = 0;
    virtual CallResult ReadFirmwareVersion(std::int32_t machineNumber, std::u16string& version) = 0;
    virtual CallResult ReadSdkVersion(std::u16string& version) = 0;
    virtual CallResult ConnectNetwork(const std::u16string& ipAddress, std::int32_t port) = 0;
    virtual CallResult DisconnectTerminal() = 0;
    virtual CallResult SetCommKey(std::int32_t key) = 0;
    virtual CallResult ReadTimeZone(std::int32_t machineNumber, std::int32_t index, std::u16string& text) = 0;
    virtual CallResult WriteTimeZone(std::int32_t machineNumber, std::int32_t index, const std::u16string& text) = 0;
    virtual CallResult ReadGroupText(std::int32_t machineNumber, std::int32_t group, std::u16string& text) = 0;
    virtual CallResult WriteGroupNumber(std::int32_t machineNumber, std::int32_t group, std::int32_t number) = 0;
    virtual CallResult RestartTerminal(std::int32_t machineNumber) = 0;
    virtual CallResult ReadVendorName(std::u16string& vendor) = 0;
    virtual CallResult ReadOption(std::int32_t machineNumber, const std::u16string& name, std::u16string& value) = 0;
    virtual CallResult WriteOption(std::int32_t machineNumber, const std::u16string& name, const std::u16string& value)
        = 0;
    virtual CallResult WriteUnlockCombination(std::int32_t machineNumber, std::int32_t c1, std::int32_t c2,
        std::int32_t c3, std::int32_t c4, std::int32_t c5, std::int32_t c6)
        = 0;
    virtual CallResult IsColorTerminal(std::int32_t machineNumber) = 0;
};

// What the library's factory creates: the control object before binding. The
// program asks it for ITermLink at its first operation and keeps the answer.
class ITermLinkObject {
public:
    virtual ~ITermLinkObject() = default;
    // Returns the interface (owned by the object) or a failure status.
    virtual HResult QueryTermLink(ITermLink** link) = 0;
};

// The one symbol a control library exports. On failure it returns a negative
// status and may write a NUL-terminated reason into `reason`.
extern "C" {
using LatchwiseCreateTermLinkFn = HResult (*)(ITermLinkObject** object, char* reason, std::size_t reasonSize);
}
inline constexpr const char* kTermLinkFactorySymbol = "latchwise_create_termlink";
