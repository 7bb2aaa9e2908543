#include "Schedule.h"

namespace schedule {

std::string fieldName(int day, int column)
{
    return std::string(kDayPrefixes.at(static_cast<std::size_t>(day))) + std::to_string(column);
}

std::array<std::string, kFieldsPerZone> zoneFieldNames(int zone)
{
    std::array<std::string, kFieldsPerZone> names;
    for (int day = 0; day < kDays; ++day) {
        names[static_cast<std::size_t>(2 * day)] = fieldName(day, startColumn(zone));
        names[static_cast<std::size_t>(2 * day + 1)] = fieldName(day, endColumn(zone));
    }
    return names;
}

std::u16string defaultFieldText(int day, int column)
{
    if (column == 1)
        return day == 0 ? u"2359" : u"0900";
    if (column == 2)
        return day == 0 ? u"0000" : u"1800";
    return u"0000";
}

std::string accessibleFieldName(int day, int column)
{
    return std::string(kDayNames.at(static_cast<std::size_t>(day))) + (column % 2 ? " start" : " end") + ", Time Zone "
        + std::to_string(zoneOfColumn(column));
}

std::u16string ConvertTime(const std::u16string& text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && text[first] <= u' ')
        ++first;
    while (last > first && text[last - 1] <= u' ')
        --last;
    switch (last - first) {
    case 1:
        return u"0" + text + u"00";
    case 2:
        return text + u"00";
    case 3:
        return u"0" + text;
    default:
        return text;
    }
}

std::array<std::optional<std::u16string>, kFieldsPerZone> fillZone(std::u16string_view text)
{
    std::array<std::optional<std::u16string>, kFieldsPerZone> fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::size_t offset = 4 * i;
        if (offset + 4 <= text.size())
            fields[i] = std::u16string(text.substr(offset, 4));
    }
    return fields;
}

std::string timeZoneList(const std::array<bool, 4>& ticked)
{
    int highest = 1;
    for (int zone = 5; zone >= 2; --zone) {
        if (ticked[static_cast<std::size_t>(zone - 2)]) {
            highest = zone;
            break;
        }
    }
    std::string list;
    for (int zone = 1; zone <= kZones; ++zone) {
        if (zone > 1)
            list += ':';
        if (zone <= highest)
            list += std::to_string(terminalIndex(zone));
    }
    return list;
}

bool isFourDigitTime(std::u16string_view text)
{
    if (text.size() != 4)
        return false;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

} // namespace schedule
