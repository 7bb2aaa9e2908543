// The programming core over the scripted control and a recording store,
// without a window: the Connect read-out, the Update from a snapshot, and the
// key parser.
#include "Number.h"
#include "ProgrammingCore.h"
#include "RecordingRegistry.h"
#include "RecordingTermLink.h"
#include "SettingsStore.h"
#include "TCTermLink.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Answer = RecordingTermLink::Answer;
using Calls = std::vector<std::string>;

// A wrapper over the scripted control, as the window holds it, and a store in
// a folder of its own whose writes are noted beside the terminal's calls.
struct ScriptedLink {
    ScriptedLink()
    {
        auto object = std::make_unique<RecordingTermLink>();
        script = object.get();
        link = std::make_unique<TCTermLink>(std::move(object));
        char pattern[] = "/tmp/latchwise-core-XXXXXX";
        dir = mkdtemp(pattern);
        store = std::make_unique<SettingsStore>(dir / "hklm.db", [this](const std::filesystem::path& path) {
            return std::make_unique<RecordingRegistry>(path, storeWrites, [this] { return script->calls().size(); });
        });
    }
    ~ScriptedLink()
    {
        store.reset();
        std::filesystem::remove_all(dir);
    }
    ScriptedLink(const ScriptedLink&) = delete;
    ScriptedLink& operator=(const ScriptedLink&) = delete;

    // Terminal calls and store writes in the order they happened:
    // "terminal WriteTimeZone(1, 50, ...)", "store 50=...".
    Calls effects() const { return interleavedEffects(script->calls(), storeWrites); }

    RecordingTermLink* script = nullptr;
    std::unique_ptr<TCTermLink> link;
    std::filesystem::path dir;
    std::vector<RecordingRegistry::Write> storeWrites;
    std::unique_ptr<SettingsStore> store;
};

enum class Terminal { Plain, ColourDoorColor1, ColourDoorColor0, ColourDoorColorUnreadable };

const char* name(Terminal terminal)
{
    switch (terminal) {
    case Terminal::Plain:
        return "not colour";
    case Terminal::ColourDoorColor1:
        return "colour, PermanentDoorColor 1";
    case Terminal::ColourDoorColor0:
        return "colour, PermanentDoorColor 0";
    case Terminal::ColourDoorColorUnreadable:
        return "colour, PermanentDoorColor unreadable";
    }
    return "?";
}

void script(RecordingTermLink& link, Terminal terminal)
{
    link.on("IsColorTerminal", Answer::value(terminal != Terminal::Plain));
    if (terminal == Terminal::ColourDoorColor1)
        link.on("ReadOption", "PermanentDoorColor", Answer::value(true, u"1"));
    if (terminal == Terminal::ColourDoorColor0)
        link.on("ReadOption", "PermanentDoorColor", Answer::value(true, u"0"));
    if (terminal == Terminal::ColourDoorColorUnreadable)
        link.on("ReadOption", "PermanentDoorColor", Answer::value(false));
}

Calls concat(std::initializer_list<Calls> parts)
{
    Calls out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

TEST(LockFunValue, ExactlyK3xInAnyLetterCaseGives14)
{
    const struct {
        std::string name;
        std::string expected;
    } rows[] = {
        { "K3X", "14" },
        { "k3x", "14" },
        { "K3x", "14" },
        { "K3X-A", "15" },
        { "XK3X", "15" },
        { "K3X ", "15" },
        { " K3X", "15" },
        { "", "15" },
        { "K3", "15" },
        { "TR-400", "15" },
        // Only a-z are upper-cased: a full-width x is another letter.
        { "K3\xEF\xBD\x98", "15" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(lockFunValueFor(row.name), row.expected);
    }
}

TEST(LockFunValue, EmptyValueWritesFifteen)
{
    EXPECT_EQ(effectiveLockFunValue(""), "15");
    EXPECT_EQ(effectiveLockFunValue("14"), "14");
    EXPECT_EQ(effectiveLockFunValue("15"), "15");
}

TEST(PermanentState, GroupTexts)
{
    const struct {
        std::string g101;
        std::string g102;
        bool enabled;
    } rows[] = {
        { "::", "::", false },
        { "::::", "::::", false },
        { "::", "::::", true },
        { "::::", "::", true },
        { "", "", true },
        { "", "::", true },
        { "50::::", "::::", true },
        { "::::", "50:49:::", true },
        { ":::", ":::", true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("'" + row.g101 + "' / '" + row.g102 + "'");
        EXPECT_EQ(groupTextsMeanEnabled(row.g101, row.g102), row.enabled);
    }
}

TEST(PermanentState, DoorOptions)
{
    const struct {
        std::string dctz;
        std::string dotz;
        bool enabled;
    } rows[] = {
        { "0", "50", true },
        { "50", "0", true },
        { "50", "50", true },
        { "0", "0", false },
        { "", "", false },
        { "49", "", false },
        { " 50", "050", false },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("'" + row.dctz + "' / '" + row.dotz + "'");
        EXPECT_EQ(doorOptionsMeanEnabled(row.dctz, row.dotz), row.enabled);
    }
}

// The key field and the command lines share one parser.
TEST(CommKey, SignedThirtyTwoBitDecimals)
{
    const struct {
        const char* text;
        std::int32_t value;
    } rows[] = {
        { "0", 0 },
        { "+7", 7 },
        { "-1", -1 },
        { "2147483647", 2147483647 },
        { "-2147483648", INT32_MIN },
        { "007", 7 },
        { "-0", 0 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parseCommKey(row.text), row.value);
        EXPECT_EQ(parseInt32(row.text), row.value);
    }
}

TEST(CommKey, AnythingElseIsNotAValidIntegerValue)
{
    for (const char* text : { "abc", "", "1.5", "2147483648", "-2147483649", " 5", "5 ", "+", "-", "+-1", "-+1", "--1",
             "0x10", "1e3", "99999999999999999999" }) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseInt32(text), std::nullopt);
        try {
            parseCommKey(text);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "'" + std::string(text) + "' is not a valid integer value");
        }
    }
}

TEST(ProgrammingMethodRule, AsksPermanentDoorColorOnlyOnColourTerminals)
{
    const struct {
        Terminal terminal;
        ProgrammingMethod method;
        Calls calls;
    } rows[] = {
        { Terminal::Plain, ProgrammingMethod::Group, { "IsColorTerminal(1)" } },
        { Terminal::ColourDoorColor1, ProgrammingMethod::Group,
            { "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)" } },
        { Terminal::ColourDoorColor0, ProgrammingMethod::DoorOption,
            { "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)" } },
        // A read that fails yields an empty text, which is not "1".
        { Terminal::ColourDoorColorUnreadable, ProgrammingMethod::DoorOption,
            { "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)" } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(name(row.terminal));
        ScriptedLink s;
        script(*s.script, row.terminal);
        EXPECT_EQ(findProgrammingMethod(*s.link), row.method);
        EXPECT_EQ(s.script->calls(), row.calls);
    }
}

TEST(ConnectReadout, ReadsInOrderAndKeepsOnlyWhatWasRead)
{
    const Calls identity { "ReadFirmwareVersion(1)", "ReadProductName(1)", "ReadVendorName()", "ReadSerialNumber(1)",
        "ReadSdkVersion()", "ReadOption(1, ~DeviceName)" };
    const Calls groupReads { "ReadGroupText(1, 101)", "ReadGroupText(1, 102)" };
    const Calls doorReads { "ReadOption(1, ~DCTZ)", "ReadOption(1, ~DOTZ)" };
    const Calls plain { "IsColorTerminal(1)" };
    const Calls colour { "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)" };
    const struct {
        const char* name;
        Terminal terminal;
        std::vector<std::pair<std::string, Answer>> answers; // op or "op arg"
        std::size_t identityLines;
        std::string lockFunValue;
        ProgrammingMethod method;
        std::optional<bool> enabled;
        Calls tail; // after the identity reads
    } rows[] = {
        { "group, one of each kind", Terminal::ColourDoorColor1,
            { { "ReadGroupText 101", Answer::value(true, u"::") },
                { "ReadGroupText 102", Answer::value(true, u"::::") } },
            5, "15", ProgrammingMethod::Group, true, concat({ colour, groupReads }) },
        { "group 101 unreadable", Terminal::Plain, { { "ReadGroupText 101", Answer::value(false) } }, 5, "15",
            ProgrammingMethod::Group, std::nullopt, concat({ plain, groupReads }) },
        { "door, DOTZ 50", Terminal::ColourDoorColor0,
            { { "ReadOption ~DCTZ", Answer::value(true, u"0") }, { "ReadOption ~DOTZ", Answer::value(true, u"50") } },
            5, "15", ProgrammingMethod::DoorOption, true, concat({ colour, doorReads }) },
        { "door, DOTZ unreadable", Terminal::ColourDoorColor0, { { "ReadOption ~DOTZ", Answer::value(false) } }, 5,
            "15", ProgrammingMethod::DoorOption, std::nullopt, concat({ colour, doorReads }) },
        { "k3x, two identity reads refused", Terminal::Plain,
            { { "ReadOption ~DeviceName", Answer::value(true, u"k3x") }, { "ReadVendorName", Answer::value(false) },
                { "ReadSdkVersion", Answer::value(false) } },
            3, "14", ProgrammingMethod::Group, true, concat({ plain, groupReads }) },
        { "device name unreadable", Terminal::Plain, { { "ReadOption ~DeviceName", Answer::value(false) } }, 5, "",
            ProgrammingMethod::Group, true, concat({ plain, groupReads }) },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLink s;
        script(*s.script, row.terminal);
        s.script->on("ReadFirmwareVersion", Answer::value(true, u"FW 2.4.1"));
        s.script->on("ReadVendorName", Answer::value(true, u"Vendor \u00C5"));
        for (const auto& [key, answer] : row.answers) {
            const auto space = key.find(' ');
            if (space == std::string::npos)
                s.script->on(key, answer);
            else
                s.script->on(key.substr(0, space), key.substr(space + 1), answer);
        }

        const ConnectReadout readout = readConnectReadout(*s.link);

        EXPECT_EQ(s.script->calls(), concat({ identity, row.tail }));
        ASSERT_EQ(readout.identityLines.size(), row.identityLines);
        EXPECT_EQ(readout.identityLines[0], "Firmware Version: FW 2.4.1");
        if (row.identityLines == 5) {
            EXPECT_EQ(readout.identityLines[2], "Manufacturer: Vendor \xC3\x85");
            EXPECT_EQ(readout.identityLines[4], "SDK Version: ");
        }
        EXPECT_EQ(readout.lockFunValue, row.lockFunValue);
        EXPECT_EQ(readout.method, row.method);
        EXPECT_EQ(readout.enabled, row.enabled);
    }
}

TEST(ConnectReadout, ErrorStatusLeavesWhatWasReadBeforeIt)
{
    ScriptedLink s;
    script(*s.script, Terminal::ColourDoorColor0);
    s.script->on("ReadOption", "~DeviceName", Answer::value(true, u"K3X"));
    s.script->on("ReadOption", "~DOTZ", Answer::error(kEFail, u"Link lost."));
    ConnectReadout readout;
    EXPECT_THROW(readConnectReadout(*s.link, readout), std::runtime_error);
    EXPECT_EQ(readout.identityLines.size(), 5u);
    EXPECT_EQ(readout.lockFunValue, "14");
    EXPECT_TRUE(readout.methodFound);
    EXPECT_EQ(readout.method, ProgrammingMethod::DoorOption);
    EXPECT_EQ(readout.enabled, std::nullopt);
}

TEST(WriteRecorder, KeepsRefusedWritesInOrderWithoutMachineNumber)
{
    ScriptedLink s;
    s.script->on("WriteOption", "GTZ101", Answer::value(false));
    s.script->on("WriteTimeZone", "49", Answer::value(false));
    s.script->on("WriteGroupNumber", "102", Answer::value(false));
    s.script->on("WriteUnlockCombination", Answer::value(false));
    WriteRecorder writes(*s.link);

    EXPECT_TRUE(writes.WriteOption("GTZ102", "::::"));
    EXPECT_FALSE(writes.WriteOption("GTZ101", "50:49:::"));
    EXPECT_TRUE(writes.WriteTimeZone(50, "0000"));
    EXPECT_FALSE(writes.WriteTimeZone(49, "08001700"));
    EXPECT_TRUE(writes.WriteGroupNumber(101, 0));
    EXPECT_FALSE(writes.WriteGroupNumber(102, 0));
    EXPECT_FALSE(writes.WriteUnlockCombination(1, 1, 0, 0, 0, 0));

    EXPECT_EQ(writes.refused(),
        (Calls { "WriteOption(GTZ101, 50:49:::)", "WriteTimeZone(49, 08001700)", "WriteGroupNumber(102, 0)",
            "WriteUnlockCombination(1, 1, 0, 0, 0, 0)" }));
}

TEST(WriteRecorder, ErrorStatusIsRaisedNotRecorded)
{
    ScriptedLink s;
    s.script->on("WriteOption", Answer::error(kEFail, u"Link lost."));
    WriteRecorder writes(*s.link);
    try {
        writes.WriteOption("WiegandOpen", "406218");
        ADD_FAILURE() << "no error raised";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Link lost");
    }
    EXPECT_TRUE(writes.refused().empty());
}

namespace {

// Zone z's field i holds "z" + z + two digits of i, so every zone's text and
// every field in it can be told apart.
ScheduleSnapshot snapshotOf(bool enable, bool forceOpen, std::array<bool, 4> ticked, std::string lockFunValue)
{
    ScheduleSnapshot snapshot;
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        for (int i = 0; i < schedule::kFieldsPerZone; ++i) {
            snapshot.zones.at(static_cast<std::size_t>(zone - 1)).at(static_cast<std::size_t>(i))
                = "z" + std::to_string(zone) + (i < 10 ? "0" : "") + std::to_string(i);
        }
    }
    snapshot.ticked = ticked;
    snapshot.enable = enable;
    snapshot.forceOpen = forceOpen;
    snapshot.lockFunValue = std::move(lockFunValue);
    return snapshot;
}

std::string weekText(int zone)
{
    std::string text;
    for (int i = 0; i < schedule::kFieldsPerZone; ++i)
        text += "z" + std::to_string(zone) + (i < 10 ? "0" : "") + std::to_string(i);
    return text;
}

std::string index(int zone)
{
    return std::to_string(schedule::terminalIndex(zone));
}

// A zone's terminal write and its saves, in their order; zone 1 has no flag.
Calls zoneEffects(int zone)
{
    Calls out { "terminal WriteTimeZone(1, " + index(zone) + ", " + weekText(zone) + ")",
        "store " + index(zone) + "=" + weekText(zone) };
    if (zone > 1)
        out.push_back("store TZ" + index(zone) + "=1");
    return out;
}

Calls flagOff(int zone)
{
    return { "store TZ" + index(zone) + "=0" };
}

Calls terminal(std::initializer_list<const char*> calls)
{
    Calls out;
    for (const char* call : calls)
        out.push_back(std::string("terminal ") + call);
    return out;
}

const Calls kWiegand = terminal({ "WriteOption(1, WiegandOpen, 406218)", "WriteOption(1, WiegandClose, 591734)",
    "WriteOption(1, WiegandNormal, 827365)" });
const Calls kFinal = terminal({ "WriteOption(1, IsHolidayValid, 0)" });

struct ProgramRow {
    const char* name;
    Terminal terminal;
    ScheduleSnapshot snapshot;
    Calls effects; // with a store; without one the same less the store lines
    std::vector<std::pair<std::string, std::string>> refuse; // op, arg ("" for every call of op)
    Calls refused;
};

} // namespace

TEST(ProgramTerminal, EffectsAndOutcomeForEverySnapshot)
{
    const Calls zones23 = concat({ zoneEffects(1), zoneEffects(2), zoneEffects(3), flagOff(4), flagOff(5) });
    const Calls zonesNone = concat({ zoneEffects(1), flagOff(2), flagOff(3), flagOff(4), flagOff(5) });
    const Calls zonesAll = concat({ zoneEffects(1), zoneEffects(2), zoneEffects(3), zoneEffects(4), zoneEffects(5) });
    const std::vector<ProgramRow> rows {
        { "enable, open, group, plain, tz2+tz3", Terminal::Plain,
            snapshotOf(true, true, { true, true, false, false }, "15"),
            concat({ kWiegand,
                terminal(
                    { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)" }),
                zones23,
                terminal({ "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)",
                    "WriteOption(1, GTZ101, 50:49:48::)" }),
                kFinal }),
            {}, {} },
        { "enable, close, group by PermanentDoorColor 1, all zones, K3X", Terminal::ColourDoorColor1,
            snapshotOf(true, false, { true, true, true, true }, "14"),
            concat({ kWiegand, terminal({ "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)" }), zonesAll,
                terminal({ "WriteOption(1, GTZ101, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteOption(1, ~LockFunOn, 14)", "WriteOption(1, GTZ102, 50:49:48:47:46)" }),
                kFinal }),
            {}, {} },
        { "enable, close, door options, tz2", Terminal::ColourDoorColor0,
            snapshotOf(true, false, { true, false, false, false }, "15"),
            concat({ kWiegand, terminal({ "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)" }), zoneEffects(1),
                zoneEffects(2), flagOff(3), flagOff(4), flagOff(5),
                terminal({ "WriteOption(1, GTZ101, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteOption(1, ~DCTZ, 50)", "WriteOption(1, ~DOTZ, 0)",
                    "WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)" }),
                kFinal }),
            {}, {} },
        { "enable, open, door options (unreadable PermanentDoorColor), none ticked",
            Terminal::ColourDoorColorUnreadable, snapshotOf(true, true, { false, false, false, false }, "15"),
            concat({ kWiegand, terminal({ "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)" }), zonesNone,
                terminal({ "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteOption(1, ~DCTZ, 0)", "WriteOption(1, ~DOTZ, 50)",
                    "WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)" }),
                kFinal }),
            {}, {} },
        { "enable, open, group, no device name yet, tz4 without tz2/tz3", Terminal::Plain,
            snapshotOf(true, true, { false, false, true, false }, ""),
            concat({ kWiegand,
                terminal(
                    { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)" }),
                zoneEffects(1), flagOff(2), flagOff(3), zoneEffects(4), flagOff(5),
                terminal({ "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)",
                    "WriteOption(1, GTZ101, 50:49:48:47:)" }),
                kFinal }),
            {}, {} },
        { "disable, group: nothing saved", Terminal::Plain, snapshotOf(false, true, { true, true, true, true }, "14"),
            concat({ kWiegand,
                terminal({ "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)", "WriteGroupNumber(1, 101, 0)",
                    "WriteGroupNumber(1, 102, 0)" }),
                kFinal }),
            {}, {} },
        { "disable, group by PermanentDoorColor 1", Terminal::ColourDoorColor1,
            snapshotOf(false, false, { false, false, false, false }, "15"),
            concat({ kWiegand,
                terminal(
                    { "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                        "WriteGroupNumber(1, 101, 0)", "WriteGroupNumber(1, 102, 0)" }),
                kFinal }),
            {}, {} },
        { "disable, door options", Terminal::ColourDoorColor0,
            snapshotOf(false, true, { true, false, false, false }, "15"),
            concat({ kWiegand,
                terminal({ "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)",
                    "ReadOption(1, PermanentDoorColor)", "WriteOption(1, ~DCTZ, 0)", "WriteOption(1, ~DOTZ, 0)" }),
                kFinal }),
            {}, {} },
        { "refused option writes go on, and are all reported", Terminal::Plain,
            snapshotOf(true, true, { true, false, false, false }, "14"),
            concat({ kWiegand,
                terminal(
                    { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)" }),
                zoneEffects(1), zoneEffects(2), flagOff(3), flagOff(4), flagOff(5),
                terminal({ "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)",
                    "WriteOption(1, GTZ101, 50:49:::)" }),
                kFinal }),
            { { "WriteOption", "" } },
            { "WriteOption(WiegandOpen, 406218)", "WriteOption(WiegandClose, 591734)",
                "WriteOption(WiegandNormal, 827365)", "WriteOption(OpenCloseExtOn, 1)", "WriteOption(~LockFunOn, 14)",
                "WriteOption(GTZ102, ::::)", "WriteOption(~LockFunOn, 14)", "WriteOption(GTZ101, 50:49:::)",
                "WriteOption(IsHolidayValid, 0)" } },
        { "a refused time zone is still saved", Terminal::Plain,
            snapshotOf(true, false, { true, true, false, false }, "15"),
            concat({ kWiegand,
                terminal(
                    { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)" }),
                zones23,
                terminal({ "WriteOption(1, GTZ101, ::::)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)",
                    "WriteOption(1, GTZ102, 50:49:48::)" }),
                kFinal }),
            { { "WriteTimeZone", "49" } }, { "WriteTimeZone(49, " + weekText(2) + ")" } },
        { "refused group numbers and unlock combination", Terminal::ColourDoorColor0,
            snapshotOf(true, true, { false, false, false, false }, "15"),
            concat({ kWiegand, terminal({ "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)" }), zonesNone,
                terminal({ "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteOption(1, ~DCTZ, 0)", "WriteOption(1, ~DOTZ, 50)",
                    "WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)" }),
                kFinal }),
            { { "WriteUnlockCombination", "" } }, { "WriteUnlockCombination(1, 1, 0, 0, 0, 0)" } },
        { "only the final write refused", Terminal::Plain, snapshotOf(false, true, {}, "15"),
            concat({ kWiegand,
                terminal({ "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)", "WriteGroupNumber(1, 101, 0)",
                    "WriteGroupNumber(1, 102, 0)" }),
                kFinal }),
            { { "WriteOption", "IsHolidayValid" }, { "WriteGroupNumber", "102" } },
            { "WriteGroupNumber(102, 0)", "WriteOption(IsHolidayValid, 0)" } },
    };
    for (const auto& row : rows) {
        for (const bool withStore : { true, false }) {
            SCOPED_TRACE(std::string(row.name) + (withStore ? ", saving" : ", without a store"));
            ScriptedLink s;
            script(*s.script, row.terminal);
            for (const auto& [op, arg] : row.refuse) {
                if (arg.empty())
                    s.script->on(op, Answer::value(false));
                else
                    s.script->on(op, arg, Answer::value(false));
            }

            const ProgrammingOutcome outcome
                = programTerminal(*s.link, row.snapshot, withStore ? s.store.get() : nullptr);

            Calls expected;
            for (const auto& effect : row.effects) {
                if (withStore || effect.rfind("store ", 0) != 0)
                    expected.push_back(effect);
            }
            EXPECT_EQ(s.effects(), expected);
            EXPECT_EQ(outcome.refused, row.refused);
            const bool finalRefused = !row.refused.empty() && row.refused.back() == "WriteOption(IsHolidayValid, 0)";
            EXPECT_EQ(outcome.finalWriteAccepted, !finalRefused);
            EXPECT_EQ(outcome.succeeded(), row.refused.empty());
            if (!withStore) {
                EXPECT_FALSE(std::filesystem::exists(s.dir / "hklm.db"));
            }
        }
    }
}

TEST(ProgramTerminal, ErrorStatusEndsItThereAndUndoesNothing)
{
    const struct {
        const char* name;
        const char* op;
        const char* arg;
        Calls effects;
    } rows[] = {
        { "OpenCloseExtOn", "WriteOption", "OpenCloseExtOn",
            concat({ kWiegand, terminal({ "WriteOption(1, OpenCloseExtOn, 1)" }) }) },
        { "time zone 48", "WriteTimeZone", "48",
            concat({ kWiegand,
                terminal(
                    { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)" }),
                zoneEffects(1), zoneEffects(2),
                terminal({ ("WriteTimeZone(1, 48, " + weekText(3) + ")").c_str() }) }) },
        { "final write", "WriteOption", "IsHolidayValid",
            concat({ kWiegand,
                terminal(
                    { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)" }),
                zoneEffects(1), zoneEffects(2), zoneEffects(3), flagOff(4), flagOff(5),
                terminal({ "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)",
                    "WriteOption(1, GTZ101, 50:49:48::)" }),
                kFinal }) },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLink s;
        script(*s.script, Terminal::Plain);
        s.script->on(row.op, row.arg, Answer::error(kEFail, u"No answer from the terminal"));
        EXPECT_THROW(
            programTerminal(*s.link, snapshotOf(true, true, { true, true, false, false }, "14"), s.store.get()),
            std::runtime_error);
        EXPECT_EQ(s.effects(), row.effects);
    }
}
