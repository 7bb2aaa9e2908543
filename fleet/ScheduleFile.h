#pragma once

#include "ProgrammingCore.h"

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>
#include <vector>

class SettingsStore;

// The schedule file (docs/fleet.md): what the window's grid holds, as JSON.
//
//   {"enable": true, "forceOpen": true,
//    "zones": {"1": {"sunday": ["0900", "1800"], "monday": [...], ... "saturday": [...]},
//              "2": {...}}}
//
// Zone 1 is required; zones 2 to 5 that are present are the ticked ones, and
// like the window's boxes they must follow on from zone 2 without a gap.
// parseSchedule checks the form; checkFourDigits the times.
struct ScheduleParse {
    ScheduleSnapshot snapshot;
    std::vector<std::string> errors;
};

ScheduleParse parseSchedule(std::string_view text);

// The window's check before an Update that enables: zone 1 and every ticked
// zone hold four digits 0-9 in every field. One error per bad field.
std::vector<std::string> checkFourDigits(const ScheduleSnapshot& snapshot);

// The form parseSchedule reads; unticked zones are left out.
nlohmann::json scheduleToJson(const ScheduleSnapshot& snapshot);

// The schedule the window would show at start: the saved zones over the
// grid's built-in texts, a zone ticked as the window's boxes would allow.
// Only reads the store.
ScheduleSnapshot scheduleFromStore(SettingsStore& store);
