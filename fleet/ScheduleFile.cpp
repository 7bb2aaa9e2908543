#include "ScheduleFile.h"

#include "SettingsStore.h"
#include "TerminalConstants.h"
#include "Utf8.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

using nlohmann::json;

namespace {

// The grid's built-in texts, as the window has them before any restore.
ScheduleSnapshot builtInSnapshot()
{
    ScheduleSnapshot snapshot;
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        for (int day = 0; day < schedule::kDays; ++day) {
            for (int column : { schedule::startColumn(zone), schedule::endColumn(zone) }) {
                snapshot.zones.at(static_cast<std::size_t>(zone - 1))
                    .at(static_cast<std::size_t>(schedule::zoneSlot(day, column)))
                    = toUtf8(schedule::defaultFieldText(day, column));
            }
        }
    }
    return snapshot;
}

std::string dayKey(int day)
{
    std::string name(schedule::kDayNames.at(static_cast<std::size_t>(day)));
    name[0] = static_cast<char>(name[0] - 'A' + 'a');
    return name;
}

} // namespace

ScheduleParse parseSchedule(std::string_view text)
{
    ScheduleParse result;
    result.snapshot = builtInSnapshot();
    auto& errors = result.errors;
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        errors.push_back("not valid JSON");
        return result;
    }
    if (!doc.is_object()) {
        errors.push_back("expected a JSON object");
        return result;
    }
    for (const auto& [key, value] : doc.items()) {
        if (key == "enable" || key == "forceOpen") {
            if (!value.is_boolean())
                errors.push_back(key + ": expected true or false");
            else
                (key == "enable" ? result.snapshot.enable : result.snapshot.forceOpen) = value.get<bool>();
        } else if (key != "zones") {
            errors.push_back(key + ": unknown member (enable, forceOpen, zones)");
        }
    }
    if (!doc.contains("zones") || !doc["zones"].is_object()) {
        errors.push_back("zones: expected an object with zone 1 and the ticked zones 2 to 5");
        return result;
    }
    const json& zones = doc["zones"];
    for (const auto& [key, value] : zones.items()) {
        if (key.size() != 1 || key[0] < '1' || key[0] > '5')
            errors.push_back("zones." + key + ": zones are \"1\" to \"5\"");
    }
    if (!zones.contains("1"))
        errors.push_back("zones.1: zone 1 is always programmed and must be given");
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        const std::string name = std::to_string(zone);
        if (!zones.contains(name))
            continue;
        if (zone > 2 && !zones.contains(std::to_string(zone - 1)))
            errors.push_back("zones." + name + ": zone " + std::to_string(zone - 1) + " must be given before zone "
                + name + ", as in the window");
        if (zone > 1)
            result.snapshot.ticked.at(static_cast<std::size_t>(zone - 2)) = true;
        const json& days = zones[name];
        const std::string where = "zones." + name;
        if (!days.is_object()) {
            errors.push_back(where + ": expected an object with the seven days");
            continue;
        }
        for (const auto& [key, value] : days.items()) {
            bool known = false;
            for (int day = 0; day < schedule::kDays; ++day)
                known = known || key == dayKey(day);
            if (!known)
                errors.push_back(where + "." + key + ": unknown day (sunday ... saturday)");
        }
        auto& fields = result.snapshot.zones.at(static_cast<std::size_t>(zone - 1));
        for (int day = 0; day < schedule::kDays; ++day) {
            const std::string at = where + "." + dayKey(day);
            if (!days.contains(dayKey(day))) {
                errors.push_back(at + ": missing");
                continue;
            }
            const json& pair = days[dayKey(day)];
            if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string()) {
                errors.push_back(at + ": expected [\"HHMM\", \"HHMM\"], the start and the end");
                continue;
            }
            fields.at(static_cast<std::size_t>(2 * day)) = pair[0].get<std::string>();
            fields.at(static_cast<std::size_t>(2 * day + 1)) = pair[1].get<std::string>();
        }
    }
    return result;
}

std::vector<std::string> checkFourDigits(const ScheduleSnapshot& snapshot)
{
    std::vector<std::string> errors;
    for (const auto& [zone, slot] : notFourDigitFields(snapshot)) {
        const std::string& text
            = snapshot.zones.at(static_cast<std::size_t>(zone - 1)).at(static_cast<std::size_t>(slot));
        errors.push_back("zones." + std::to_string(zone) + "." + dayKey(slot / 2) + " " + (slot % 2 ? "end" : "start")
            + ": \"" + text + "\" is not a four-digit time (HHMM)");
    }
    return errors;
}

json scheduleToJson(const ScheduleSnapshot& snapshot)
{
    json zones = json::object();
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        if (!zoneWritten(snapshot, zone))
            continue;
        json days = json::object();
        const auto& fields = snapshot.zones.at(static_cast<std::size_t>(zone - 1));
        for (int day = 0; day < schedule::kDays; ++day)
            days[dayKey(day)]
                = { fields.at(static_cast<std::size_t>(2 * day)), fields.at(static_cast<std::size_t>(2 * day + 1)) };
        zones[std::to_string(zone)] = days;
    }
    return json { { "enable", snapshot.enable }, { "forceOpen", snapshot.forceOpen }, { "zones", zones } };
}

ScheduleSnapshot scheduleFromStore(SettingsStore& store)
{
    ScheduleSnapshot snapshot = builtInSnapshot();
    const std::string defaultText = toUtf8(std::u16string(schedule::kDefaultZoneText));
    const auto fill = [&snapshot](int zone, const std::string& text) {
        const auto pieces = schedule::fillZone(fromUtf8(text));
        auto& fields = snapshot.zones.at(static_cast<std::size_t>(zone - 1));
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (pieces.at(i))
                fields.at(i) = toUtf8(*pieces.at(i));
        }
    };
    SettingsBracket bracket(store, kSettingsPath);
    fill(1, store.ReadSetting(kSettingsSection, zoneValueName(1), defaultText));
    for (int zone = 2; zone <= schedule::kZones; ++zone) {
        const std::string text = store.ReadSetting(kSettingsSection, zoneValueName(zone), defaultText);
        const std::string flag = store.ReadSetting(kSettingsSection, zoneFlagName(zone), "0");
        if (flag != "1")
            continue;
        // The window's box refuses a tick while the zone before is off, yet
        // the fields are filled all the same.
        snapshot.ticked.at(static_cast<std::size_t>(zone - 2)) = zoneWritten(snapshot, zone - 1);
        fill(zone, text);
    }
    // A store that exists but cannot be read must not pass for an empty one:
    // the site would get the built-in times.
    if (const auto& problem = store.readProblem())
        throw std::runtime_error(*problem);
    return snapshot;
}
