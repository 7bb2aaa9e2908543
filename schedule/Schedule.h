#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

// The weekly schedule without widgets: the grid's vocabulary, the time
// normalisation, and the fill and join of one zone's fourteen fields with its
// 56-character week text (seven days, Sunday first, start then end, HHMM).
namespace schedule {

inline constexpr int kDays = 7;
inline constexpr int kColumns = 10;
inline constexpr int kZones = 5;
inline constexpr int kFieldsPerZone = 14;
inline constexpr int kWeekTextLength = kFieldsPerZone * 4;

inline constexpr std::array<std::string_view, kDays> kDayPrefixes { "sun", "mon", "tue", "wed", "thu", "fri", "sat" };
inline constexpr std::array<std::string_view, kDays> kDayNames { "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday",
    "Friday", "Saturday" };

// All day, every day: what a zone holds when nothing was saved.
inline constexpr std::u16string_view kDefaultZoneText = u"00002359000023590000235900002359000023590000235900002359";

// Zone n (1..5) lives on the terminal under index 51 - n.
constexpr int terminalIndex(int zone)
{
    return 51 - zone;
}
constexpr int startColumn(int zone)
{
    return 2 * zone - 1;
}
constexpr int endColumn(int zone)
{
    return 2 * zone;
}
// The zone a grid column (1..10) belongs to.
constexpr int zoneOfColumn(int column)
{
    return (column + 1) / 2;
}

// "sun1" ... "sat10"; day 0 is Sunday, columns count from 1.
std::string fieldName(int day, int column);

// Position of a field within its zone, in week-text order (0..13).
constexpr int zoneSlot(int day, int column)
{
    return 2 * day + (column % 2 == 0 ? 1 : 0);
}

// A zone's fields in week-text order: Sunday start, Sunday end, Monday start, ...
std::array<std::string, kFieldsPerZone> zoneFieldNames(int zone);

// Default text of a grid field when the window is created.
std::u16string defaultFieldText(int day, int column);

// Screen-reader name, e.g. "Monday start, Time Zone 1".
std::string accessibleFieldName(int day, int column);

// Pads a typed time by the length of its trimmed text: one character is an
// hour ("9" -> "0900"), two an hour ("18" -> "1800"), three an hour with
// minutes ("930" -> "0930"); anything else stays. The pieces go around the
// text as typed, blanks included.
std::u16string ConvertTime(const std::u16string& text);

// The fourteen texts joined with nothing between them, as they stand: UTF-16
// texts from the grid, UTF-8 texts in the programming core.
template <typename String> String joinZone(const std::array<String, kFieldsPerZone>& fields)
{
    String joined;
    joined.reserve(kWeekTextLength);
    for (const auto& field : fields)
        joined += field;
    return joined;
}

// What filling a zone from `text` puts into each field: four characters per
// field by position. A field whose four characters are not all present keeps
// what it holds (nullopt); nothing past the end of the text is read.
std::array<std::optional<std::u16string>, kFieldsPerZone> fillZone(std::u16string_view text);

// The group's time-zone list from the ticks of zones 2..5 (index 0 is zone 2):
// slots filled with 50, 49, ... up to the highest ticked zone.
std::string timeZoneList(const std::array<bool, 4>& ticked);

// Exactly four characters, each 0-9.
bool isFourDigitTime(std::u16string_view text);

} // namespace schedule
