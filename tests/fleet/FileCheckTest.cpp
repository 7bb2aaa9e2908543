// The site and schedule files are checked whole before any terminal is
// contacted; each bad line or field gets its own error.
#include "FleetTestSupport.h"
#include "ScheduleFile.h"
#include "SettingsStore.h"
#include "SiteFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using Errors = std::vector<std::string>;

} // namespace

TEST(SiteFile, EachBadLineGetsOneErrorWithItsNumber)
{
    struct Row {
        const char* name;
        std::string text;
        Errors errors;
    };
    const std::string header = "name,address,key\n";
    const std::vector<Row> rows {
        { "comments, blanks, quotes, CRLF and a blank key",
            "\xEF\xBB\xBF" + header + "# lobby\n\nLobby,127.0.20.1,\n\"Door, east\" , 127.000.20.002 ,-5\r\n", {} },
        { "bad addresses", header + "a,127.0.20.256,0\nb,localhost,0\nc,127.1,0\nd,,0\n",
            { "line 2: \"127.0.20.256\" is not a dotted IPv4 address",
                "line 3: \"localhost\" is not a dotted IPv4 address", "line 4: \"127.1\" is not a dotted IPv4 address",
                "line 5: \"\" is not a dotted IPv4 address" } },
        { "bad keys", header + "a,127.0.0.1,2147483648\nb,127.0.0.2,12a\nc,127.0.0.3,-2147483648\n",
            { "line 2: the key \"2147483648\" is not a whole number from -2147483648 to 2147483647",
                "line 3: the key \"12a\" is not a whole number from -2147483648 to 2147483647" } },
        { "a duplicate address, however written", header + "a,127.0.0.1,\n# b\nb,127.0.0.001,\n",
            { "line 4: the address 127.0.0.1 is already on line 2" } },
        { "malformed lines", header + ",127.0.0.1,0\nb,127.0.0.2\nc,127.0.0.3,0,x\n\"d,127.0.0.4,0\n",
            { "line 2: the name is empty", "line 3: expected three fields name,address,key",
                "line 4: expected three fields name,address,key", "line 5: expected three fields name,address,key" } },
        { "no header", "a,127.0.0.1,0\n", { "line 1: the first line must be the header name,address,key" } },
        { "no terminals", header + "# none yet\n", { "line 2: the site has no terminals" } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(parseSite(row.text).errors, row.errors);
    }
    const auto good = parseSite(rows[0].text).terminals;
    ASSERT_EQ(good.size(), 2u);
    EXPECT_EQ(good[0].name, "Lobby");
    EXPECT_EQ(good[0].key, 0);
    EXPECT_EQ(good[1].name, "Door, east");
    EXPECT_EQ(good[1].address, "127.0.20.2");
    EXPECT_EQ(good[1].key, -5);
    EXPECT_EQ(good[1].line, 5);
}

TEST(SiteFile, KeysReadableByOthersAreWarnedAbout)
{
    const TempDir dir;
    struct Row {
        mode_t mode;
        std::int32_t key;
        bool warned;
    };
    for (const Row row :
        { Row { 0644, 5, true }, Row { 0640, -1, true }, Row { 0600, 5, false }, Row { 0644, 0, false } }) {
        SCOPED_TRACE(std::to_string(row.mode) + " key " + std::to_string(row.key));
        const std::string path = dir.file("site.csv", "name,address,key\na,127.0.0.1," + std::to_string(row.key));
        chmod(path.c_str(), row.mode);
        const auto site = parseSite("name,address,key\na,127.0.0.1," + std::to_string(row.key)).terminals;
        EXPECT_EQ(siteFileWarning(path, site).has_value(), row.warned);
    }
}

TEST(ScheduleFile, FormAndTimesAreCheckedLikeTheWindow)
{
    const auto zones = [](nlohmann::json z) { return nlohmann::json { { "zones", z } }.dump(); };
    nlohmann::json badDay = weekOf("0900", "1800");
    badDay["monday"] = { "930", "1800" };
    nlohmann::json shortPair = weekOf("0900", "1800");
    shortPair["friday"] = { "0900" };
    nlohmann::json extraDay = weekOf("0900", "1800");
    extraDay["someday"] = { "0900", "1800" };
    nlohmann::json missingDay = weekOf("0900", "1800");
    missingDay.erase("saturday");
    nlohmann::json oddTimes = weekOf("0900", "1800");
    oddTimes["sunday"] = { " 930", "09:3" };
    oddTimes["tuesday"] = { "093a", "" };

    struct Row {
        const char* name;
        std::string text;
        Errors errors;
    };
    const std::vector<Row> rows {
        { "zone 1 alone", zones({ { "1", weekOf("0900", "1800") } }), {} },
        { "zones 1 to 3, Force Close",
            R"({"enable": true, "forceOpen": false, "zones": )"
                + nlohmann::json { { "1", weekOf("0900", "1800") }, { "2", weekOf("0000", "0100") },
                    { "3", weekOf("2200", "2359") } }
                      .dump()
                + "}",
            {} },
        { "not JSON", "{zones", { "not valid JSON" } },
        { "unknown member", R"({"zones": {"1": )" + weekOf("0900", "1800").dump() + R"(}, "key": 5})",
            { "key: unknown member (enable, forceOpen, zones)" } },
        { "enable not a boolean", R"({"enable": "yes", "zones": {"1": )" + weekOf("0900", "1800").dump() + "}}",
            { "enable: expected true or false" } },
        { "no zone 1", zones({ { "2", weekOf("0900", "1800") } }),
            { "zones.1: zone 1 is always programmed and must be given" } },
        { "zone 3 without zone 2", zones({ { "1", weekOf("0900", "1800") }, { "3", weekOf("0900", "1800") } }),
            { "zones.3: zone 2 must be given before zone 3, as in the window" } },
        { "zone 6", zones({ { "1", weekOf("0900", "1800") }, { "6", weekOf("0900", "1800") } }),
            { "zones.6: zones are \"1\" to \"5\"" } },
        { "a day missing, one unknown, a short pair",
            zones({ { "1", missingDay }, { "2", extraDay }, { "3", shortPair } }),
            { "zones.1.saturday: missing", "zones.2.someday: unknown day (sunday ... saturday)",
                "zones.3.friday: expected [\"HHMM\", \"HHMM\"], the start and the end" } },
        { "a three-digit time", zones({ { "1", badDay } }),
            { "zones.1.monday start: \"930\" is not a four-digit time (HHMM)" } },
        { "blanks, colons, letters, empty", zones({ { "1", weekOf("0900", "1800") }, { "2", oddTimes } }),
            { "zones.2.sunday start: \" 930\" is not a four-digit time (HHMM)",
                "zones.2.sunday end: \"09:3\" is not a four-digit time (HHMM)",
                "zones.2.tuesday start: \"093a\" is not a four-digit time (HHMM)",
                "zones.2.tuesday end: \"\" is not a four-digit time (HHMM)" } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ScheduleParse parsed = parseSchedule(row.text);
        EXPECT_EQ(parsed.errors.empty() ? checkFourDigits(parsed.snapshot) : parsed.errors, row.errors);
    }
    const ScheduleSnapshot three = parseSchedule(rows[1].text).snapshot;
    EXPECT_EQ(three.ticked, (std::array<bool, 4> { true, true, false, false }));
    EXPECT_FALSE(three.forceOpen);
    EXPECT_EQ(three.zones[2][13], "2359");
}

TEST(ScheduleFile, TheStoredScheduleExportsAndReadsBackTheSame)
{
    const TempDir dir;
    SettingsStore store(dir.file("hklm.db"));
    const std::string zone1 = "0600220007002300080000000900010010000200110003001200";
    const std::string zone2 = "00000100000001000000010000000100000001000000010000000100";
    // Zone 4 is flagged but zone 3 is not: the window's box refuses the tick.
    for (const auto& [ident, value] : std::vector<std::pair<std::string, std::string>> { { "50", zone1 + "0400" },
             { "49", zone2 }, { "TZ49", "1" }, { "TZ48", "0" }, { "47", zone2 }, { "TZ47", "1" }, { "TZ46", "0" } })
        SetTZIntoReg(store, ident, value);

    const ScheduleSnapshot stored = scheduleFromStore(store);
    EXPECT_EQ(stored.ticked, (std::array<bool, 4> { true, false, false, false }));
    EXPECT_EQ(stored.zones[0][0], "0600");
    EXPECT_EQ(stored.zones[0][13], "0400");
    EXPECT_EQ(stored.zones[1][1], "0100");

    const ScheduleParse back = parseSchedule(scheduleToJson(stored).dump());
    ASSERT_EQ(back.errors, Errors {});
    EXPECT_EQ(back.snapshot.zones[0], stored.zones[0]);
    EXPECT_EQ(back.snapshot.zones[1], stored.zones[1]);
    EXPECT_EQ(back.snapshot.ticked, stored.ticked);

    // No store yet gives the built-in times; one that cannot be read, an error.
    SettingsStore none(dir.path() + "/none.db");
    EXPECT_EQ(scheduleFromStore(none).zones[0][0], "0000");
    SettingsStore junk(dir.file("junk.db", "not a database at all, but long enough to be taken for one......"));
    try {
        scheduleFromStore(junk);
        ADD_FAILURE() << "an unreadable store gave a schedule";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("junk.db: not a settings database"), std::string::npos) << e.what();
    }
}
