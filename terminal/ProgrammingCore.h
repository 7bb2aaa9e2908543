#pragma once

#include "Schedule.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class SettingsStore;
class TCTermLink;

// What Connect reads and what Update writes, over the control and the settings
// store, without a window: the window (or any other front end) takes one
// snapshot of its choices, hands it in, and shows what comes back. Texts are
// UTF-8 here; they become UTF-16 only at the control's calls.

enum class ProgrammingMethod { Group, DoorOption };

// Everything an Update needs, taken at once from the front end's controls.
struct ScheduleSnapshot {
    // Each zone's fourteen field texts in week-text order (Sunday start, Sunday
    // end, Monday start, ...), as the grid holds them.
    std::array<std::array<std::string, schedule::kFieldsPerZone>, schedule::kZones> zones;
    std::array<bool, 4> ticked {}; // zones 2..5
    bool enable = true;
    bool forceOpen = true;
    std::string lockFunValue; // "" before a device name was read
};

struct ProgrammingOutcome {
    bool finalWriteAccepted = false;
    // "WriteOption(~LockFunOn, 15)" style, in order; the final write included
    // when it was refused.
    std::vector<std::string> refused;

    // A refused write anywhere means the terminal does not hold what was asked.
    bool succeeded() const { return finalWriteAccepted && refused.empty(); }
};

struct ConnectReadout {
    // "Firmware Version: ...", ..., one per identity read that succeeded.
    std::vector<std::string> identityLines;
    std::string lockFunValue; // "" when ~DeviceName could not be read
    ProgrammingMethod method = ProgrammingMethod::Group;
    // nullopt: a state read failed (or, after an error, was not reached).
    std::optional<bool> enabled;
    // The method was found; the state reads come after it.
    bool methodFound = false;
};

// IsColorTerminal, then "PermanentDoorColor" only on a colour terminal.
ProgrammingMethod findProgrammingMethod(TCTermLink& link);

// "14" for a device name that upper-cases (a-z only) to exactly "K3X", else "15".
std::string lockFunValueFor(const std::string& deviceName);

// The value written to "~LockFunOn": the Connect choice, or "15" when no
// device name could be read yet.
std::string effectiveLockFunValue(const std::string& lockFunValue);

// Both group texts "::" or both "::::" mean switched off.
bool groupTextsMeanEnabled(const std::string& group101, const std::string& group102);
// Either door option "50" means switched on.
bool doorOptionsMeanEnabled(const std::string& dctz, const std::string& dotz);

// Everything Connect reads after ConnectNetwork succeeded, in its order: the
// identity, ~DeviceName, the method and that method's two state reads.
ConnectReadout readConnectReadout(TCTermLink& link);
// The same, filling `readout` as it goes, so that a caller can still show
// what was read before an error raised by the control.
void readConnectReadout(TCTermLink& link, ConnectReadout& readout);

// The writes of one Update, so that a refused one is not reported as success.
// Each refused write is kept as "Op(arg, ...)" without MachineNumber.
class WriteRecorder {
public:
    explicit WriteRecorder(TCTermLink& link)
        : m_link(link)
    {
    }

    bool WriteOption(const std::string& name, const std::string& value);
    bool WriteTimeZone(std::int32_t index, const std::string& text);
    bool WriteGroupNumber(std::int32_t group, std::int32_t number);
    bool WriteUnlockCombination(
        std::int32_t c1, std::int32_t c2, std::int32_t c3, std::int32_t c4, std::int32_t c5, std::int32_t c6);

    const std::vector<std::string>& refused() const { return m_refused; }
    TCTermLink& link() { return m_link; }

private:
    bool note(bool accepted, std::string call);

    TCTermLink& m_link;
    std::vector<std::string> m_refused;
};

// Names in the saved schedule: a zone's week text is stored under its
// terminal index ("50" for zone 1), whether zone 2..5 is ticked under "TZ"
// and that index ("TZ49").
std::string zoneValueName(int zone);
std::string zoneFlagName(int zone);

// Zone 1 always, zones 2..5 when ticked: the zones an Update writes.
bool zoneWritten(const ScheduleSnapshot& snapshot, int zone);

// One field of the grid: its zone (1..5) and its slot in week-text order (0..13).
struct ZoneField {
    int zone = 1;
    int slot = 0;
};

// The fields of the written zones that are not four-digit times, zone by zone
// in week-text order: a short or empty one would shift every later time.
std::vector<ZoneField> notFourDigitFields(const ScheduleSnapshot& snapshot);

// A zone's week text: its fourteen fields joined as they stand.
std::string zoneText(const ScheduleSnapshot& snapshot, int zone);

// Writes zone 2..5 to the terminal, then saves its text and its flag "1".
void writeZone(WriteRecorder& writes, const ScheduleSnapshot& snapshot, int zone, SettingsStore* store);

// Zone 1 is written and saved; each of zones 2..5 is written when ticked,
// otherwise only its flag is saved as "0". Each save follows its write at once.
// A null store programs without saving.
void writeTimeZones(WriteRecorder& writes, const ScheduleSnapshot& snapshot, SettingsStore* store);

// The group and door step: the cleared group, then the method's own writes.
void setGroupOptions(WriteRecorder& writes, const ScheduleSnapshot& snapshot);

// The sequence between "Updating..." and the final write.
void runProgrammingSequence(WriteRecorder& writes, const ScheduleSnapshot& snapshot, SettingsStore* store);

// The whole Update: the sequence, then the final "IsHolidayValid" write. An
// error raised by the control or the store ends it there, undoing nothing.
ProgrammingOutcome programTerminal(TCTermLink& link, const ScheduleSnapshot& snapshot, SettingsStore* store);
