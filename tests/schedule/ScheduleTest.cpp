#include "Schedule.h"

#include <gtest/gtest.h>

#include <string>

using namespace schedule;

namespace {

std::string narrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string zoneText(std::u16string_view pattern, std::size_t length)
{
    std::u16string text;
    while (text.size() < length)
        text += pattern;
    text.resize(length);
    return text;
}

} // namespace

TEST(ConvertTime, PadsByTrimmedLengthAroundTheTextAsTyped)
{
    struct Row {
        const char* name;
        std::u16string input;
        std::u16string expected;
    };
    const Row rows[] = {
        { "hour alone", u"9", u"0900" },
        { "two-digit hour", u"18", u"1800" },
        { "hour with minutes", u"930", u"0930" },
        { "four digits stay", u"0930", u"0930" },
        { "end of day stays", u"2359", u"2359" },
        { "empty stays", u"", u"" },
        { "blanks only stay", u"   ", u"   " },
        { "control characters only stay", u"\t\r\n", u"\t\r\n" },
        { "two letters get minutes", u"ab", u"ab00" },
        { "one letter is an hour", u"x", u"0x00" },
        { "three letters get a leading zero", u"abc", u"0abc" },
        { "leading blank kept inside", u" 9", u"0 900" },
        { "trailing blank kept inside", u"9 ", u"09 00" },
        { "tab counts as blank", u"\t18", u"\t1800" },
        { "code 1 counts as blank",
            u"\x01"
            u"930",
            u"0\x01"
            u"930" },
        { "code 31 counts as blank", u"9\x1f",
            u"09\x1f"
            u"00" },
        { "inner blank counts in the length", u"1 2", u"01 2" },
        { "DEL is not a blank", u"\x7f",
            u"0\x7f"
            u"00" },
        { "no-break space is not a blank",
            u"\u00a0"
            u"9",
            u"\u00a0"
            u"900" },
        { "five characters stay", u"12345", u"12345" },
        { "long text stays", u"0900-1800 daily", u"0900-1800 daily" },
        { "four after trimming stay", u"  0900  ", u"  0900  " },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::u16string once = ConvertTime(row.input);
        EXPECT_EQ(narrow(once), narrow(row.expected));
        EXPECT_EQ(once, row.expected);
        // Every lengthened result has at least four characters after trimming.
        EXPECT_EQ(ConvertTime(once), once) << "not idempotent";
    }
}

TEST(ZoneFillJoin, DefaultTextRoundTrips)
{
    const auto pieces = fillZone(kDefaultZoneText);
    std::array<std::u16string, kFieldsPerZone> fields;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(pieces[i].has_value());
        EXPECT_EQ(*pieces[i], i % 2 == 0 ? u"0000" : u"2359");
        fields[i] = *pieces[i];
    }
    EXPECT_EQ(joinZone(fields), kDefaultZoneText);
}

TEST(ZoneFillJoin, FillsByPositionWithoutLookingAtCharacters)
{
    // Fourteen distinct groups, some not times at all.
    const std::u16string groups[kFieldsPerZone] = { u"0001", u"aaaa", u"0003", u" 4 5", u"0005", u"xyz.", u"0007",
        u"0008", u"9:00", u"0010", u"0011", u"0012", u"0013", u"\t\t\t\t" };
    std::u16string text;
    for (const auto& group : groups)
        text += group;
    ASSERT_EQ(text.size(), 56u);
    const auto pieces = fillZone(text);
    std::array<std::u16string, kFieldsPerZone> fields;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(pieces[i].has_value());
        EXPECT_EQ(*pieces[i], text.substr(4 * i, 4));
        fields[i] = *pieces[i];
    }
    EXPECT_EQ(joinZone(fields), text);
}

TEST(ZoneFillJoin, TextsOfOtherLengths)
{
    struct Row {
        const char* name;
        std::size_t length;
        std::size_t filled; // fields that receive a group
    };
    const Row rows[] = {
        { "empty", 0, 0 },
        { "three characters", 3, 0 },
        { "one group", 4, 1 },
        { "one group and a bit", 7, 1 },
        { "Monday cut in half", 14, 3 },
        { "one short of a week", 55, 13 },
        { "exactly a week", 56, 14 },
        { "longer than a week", 80, 14 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::u16string text = zoneText(u"0123456789", row.length);
        const auto pieces = fillZone(text);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            SCOPED_TRACE(i);
            if (i < row.filled) {
                ASSERT_TRUE(pieces[i].has_value());
                EXPECT_EQ(*pieces[i], text.substr(4 * i, 4));
            } else {
                EXPECT_FALSE(pieces[i].has_value());
            }
        }
    }
}

TEST(ZoneFillJoin, JoinNeitherPadsNorChecks)
{
    std::array<std::u16string, kFieldsPerZone> fields;
    fields.fill(u"0900");
    fields[1] = u""; // emptied field
    fields[2] = u"0 900"; // normalised with a blank inside
    fields[13] = u"18"; // short field
    const std::u16string joined = joinZone(fields);
    EXPECT_EQ(joined.size(), 56u - 4 + 1 - 2);
    EXPECT_EQ(joined.substr(0, 13), u"09000 9000900");
    EXPECT_EQ(joined.substr(joined.size() - 6), u"090018");
}

TEST(ScheduleVocabulary, ZonesColumnsAndIndices)
{
    struct Row {
        int zone;
        int start;
        int end;
        int index;
        const char* firstFields[3];
        const char* lastField;
    };
    const Row rows[] = {
        { 1, 1, 2, 50, { "sun1", "sun2", "mon1" }, "sat2" },
        { 2, 3, 4, 49, { "sun3", "sun4", "mon3" }, "sat4" },
        { 3, 5, 6, 48, { "sun5", "sun6", "mon5" }, "sat6" },
        { 4, 7, 8, 47, { "sun7", "sun8", "mon7" }, "sat8" },
        { 5, 9, 10, 46, { "sun9", "sun10", "mon9" }, "sat10" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.zone);
        EXPECT_EQ(startColumn(row.zone), row.start);
        EXPECT_EQ(endColumn(row.zone), row.end);
        EXPECT_EQ(terminalIndex(row.zone), row.index);
        EXPECT_EQ(zoneOfColumn(row.start), row.zone);
        EXPECT_EQ(zoneOfColumn(row.end), row.zone);
        const auto names = zoneFieldNames(row.zone);
        EXPECT_EQ(names[0], row.firstFields[0]);
        EXPECT_EQ(names[1], row.firstFields[1]);
        EXPECT_EQ(names[2], row.firstFields[2]);
        EXPECT_EQ(names[13], row.lastField);
        for (int day = 0; day < kDays; ++day) {
            EXPECT_EQ(zoneSlot(day, row.start), 2 * day);
            EXPECT_EQ(zoneSlot(day, row.end), 2 * day + 1);
            EXPECT_EQ(names[static_cast<std::size_t>(zoneSlot(day, row.start))], fieldName(day, row.start));
        }
    }
}

TEST(ScheduleVocabulary, DefaultsAndAccessibleNames)
{
    struct Row {
        int day;
        int column;
        const char* name;
        const char16_t* defaultText;
        const char* accessible;
    };
    const Row rows[] = {
        { 0, 1, "sun1", u"2359", "Sunday start, Time Zone 1" },
        { 0, 2, "sun2", u"0000", "Sunday end, Time Zone 1" },
        { 1, 1, "mon1", u"0900", "Monday start, Time Zone 1" },
        { 6, 2, "sat2", u"1800", "Saturday end, Time Zone 1" },
        { 3, 5, "wed5", u"0000", "Wednesday start, Time Zone 3" },
        { 4, 8, "thu8", u"0000", "Thursday end, Time Zone 4" },
        { 6, 10, "sat10", u"0000", "Saturday end, Time Zone 5" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(fieldName(row.day, row.column), row.name);
        EXPECT_EQ(defaultFieldText(row.day, row.column), row.defaultText);
        EXPECT_EQ(accessibleFieldName(row.day, row.column), row.accessible);
    }
}

TEST(ScheduleVocabulary, TimeZoneListFollowsTheHighestTickedZone)
{
    struct Row {
        std::array<bool, 4> ticked;
        const char* expected;
    };
    const Row rows[] = {
        { { false, false, false, false }, "50::::" },
        { { true, false, false, false }, "50:49:::" },
        { { true, true, false, false }, "50:49:48::" },
        { { true, true, true, false }, "50:49:48:47:" },
        { { true, true, true, true }, "50:49:48:47:46" },
        // The highest ticked box decides, even with a gap below it.
        { { false, false, true, false }, "50:49:48:47:" },
        { { false, false, false, true }, "50:49:48:47:46" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        EXPECT_EQ(timeZoneList(row.ticked), row.expected);
    }
}

TEST(ScheduleVocabulary, FourDigitTime)
{
    for (const char16_t* good : { u"0000", u"2359", u"9999" })
        EXPECT_TRUE(isFourDigitTime(good)) << narrow(good);
    for (const char16_t* bad : { u"", u"900", u"09000", u"0 90", u"ab00", u"09:0" })
        EXPECT_FALSE(isFourDigitTime(bad)) << narrow(bad);
}
