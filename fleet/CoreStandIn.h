#pragma once

// Stand-in for the widget-free programming core (terminal/ProgrammingCore.h)
// until it lands: the same declarations, built on the window's own
// Programming.h. Removed when the core is merged.

#include "Programming.h"
#include "Schedule.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

class SettingsStore;
class TCTermLink;

struct ScheduleSnapshot {
    // Each zone's 14 field texts in week-text order: Sunday start, Sunday end, Monday start, ... UTF-8.
    std::array<std::array<std::string, schedule::kFieldsPerZone>, schedule::kZones> zones;
    std::array<bool, 4> ticked {}; // zones 2..5
    bool enable = true;
    bool forceOpen = true;
    std::string lockFunValue; // "" before a device name was read
};

struct ProgrammingOutcome {
    bool finalWriteAccepted = false;
    std::vector<std::string> refused;
    bool succeeded() const { return finalWriteAccepted && refused.empty(); }
};

// The window's Update: the sequence, the time zones (saved when `store` is
// given) and the final write.
ProgrammingOutcome programTerminal(TCTermLink& link, const ScheduleSnapshot& snapshot, SettingsStore* store);

struct ConnectReadout {
    std::vector<std::string> identityLines;
    std::string lockFunValue;
    ProgrammingMethod method = ProgrammingMethod::Group;
    std::optional<bool> enabled; // nullopt: state could not be read
};

// What the window's Connect reads after a successful ConnectNetwork.
ConnectReadout readConnectReadout(TCTermLink& link);
