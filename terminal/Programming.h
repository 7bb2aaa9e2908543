#pragma once

#include "TCTermLink.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The Connect read-out and the programming of the permanent open/close
// function over the control, without a window: the window passes in its
// choices and the steps that read or write its own controls.

inline constexpr std::int32_t kMachineNumber = 1;
inline constexpr std::int32_t kTerminalPort = 4370;

enum class ProgrammingMethod { Group, DoorOption };

// IsColorTerminal, then "PermanentDoorColor" only on a colour terminal.
ProgrammingMethod findProgrammingMethod(TCTermLink& link);

// "14" for a device name that upper-cases (a-z only) to exactly "K3X", else "15".
std::u16string lockFunValueFor(const std::u16string& deviceName);

// Both group texts "::" or both "::::" mean switched off.
bool groupTextsMeanEnabled(const std::u16string& group101, const std::u16string& group102);
// Either door option "50" means switched on.
bool doorOptionsMeanEnabled(const std::u16string& dctz, const std::u16string& dotz);

// The key field as a signed 32-bit decimal whole number; otherwise throws
// "'<text>' is not a valid integer value".
std::int32_t parseCommKey(const std::string& text);

// Writes made during one Update, so that a refused one is not reported as
// success. Each refused write is kept as "Op(arg, ...)" without MachineNumber.
class WriteRecorder {
public:
    explicit WriteRecorder(TCTermLink& link)
        : m_link(link)
    {
    }

    bool WriteOption(const std::u16string& name, const std::u16string& value);
    bool WriteTimeZone(std::int32_t index, const std::u16string& text);
    bool WriteGroupNumber(std::int32_t group, std::int32_t number);
    bool WriteUnlockCombination(
        std::int32_t c1, std::int32_t c2, std::int32_t c3, std::int32_t c4, std::int32_t c5, std::int32_t c6);

    const std::vector<std::string>& refused() const { return m_refused; }
    void clear() { m_refused.clear(); }
    TCTermLink& link() { return m_link; }

private:
    bool note(bool accepted, std::string call);

    TCTermLink& m_link;
    std::vector<std::string> m_refused;
};

struct ProgrammingChoices {
    bool enable = true;
    bool forceOpen = true;
    std::array<bool, 4> ticked {}; // zones 2..5
    std::u16string lockFunValue; // empty before any device name was read
};

// The value written to "~LockFunOn": the Connect choice, or "15" when no
// device name could be read yet.
std::u16string effectiveLockFunValue(const std::u16string& lockFunValue);

// The group and door step: the cleared group, then the method's own writes.
void setGroupOptions(WriteRecorder& writes, const ProgrammingChoices& choices);

// The whole sequence between "Updating..." and the final write. Step hooks:
// `setTimeZones` writes and saves the time zones, `setGroup` runs the group
// step (normally setGroupOptions through the window's handler).
void runProgrammingSequence(WriteRecorder& writes, const ProgrammingChoices& choices,
    const std::function<void()>& setTimeZones, const std::function<void()>& setGroup);
