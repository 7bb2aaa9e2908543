// The Connect read-out rules and the programming sequence over the scripted
// control, without a window.
#include "Programming.h"
#include "RecordingTermLink.h"
#include "TCTermLink.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Answer = RecordingTermLink::Answer;
using Calls = std::vector<std::string>;

// A wrapper over the scripted control, as the window holds it.
struct ScriptedLink {
    ScriptedLink()
    {
        auto object = std::make_unique<RecordingTermLink>();
        script = object.get();
        link = std::make_unique<TCTermLink>(std::move(object));
    }

    RecordingTermLink* script = nullptr;
    std::unique_ptr<TCTermLink> link;
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

} // namespace

TEST(LockFunValue, ExactlyK3xInAnyLetterCaseGives14)
{
    const struct {
        std::u16string name;
        std::u16string expected;
    } rows[] = {
        { u"K3X", u"14" },
        { u"k3x", u"14" },
        { u"K3x", u"14" },
        { u"K3X-A", u"15" },
        { u"XK3X", u"15" },
        { u"K3X ", u"15" },
        { u" K3X", u"15" },
        { u"", u"15" },
        { u"K3", u"15" },
        { u"TR-400", u"15" },
        // Only a-z are upper-cased: a full-width x is another letter.
        { u"K3\uFF58", u"15" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(toUtf8(row.name));
        EXPECT_EQ(lockFunValueFor(row.name), row.expected);
    }
}

TEST(LockFunValue, EmptyValueWritesFifteen)
{
    EXPECT_EQ(effectiveLockFunValue(u""), u"15");
    EXPECT_EQ(effectiveLockFunValue(u"14"), u"14");
    EXPECT_EQ(effectiveLockFunValue(u"15"), u"15");
}

TEST(PermanentState, GroupTexts)
{
    const struct {
        std::u16string g101;
        std::u16string g102;
        bool enabled;
    } rows[] = {
        { u"::", u"::", false },
        { u"::::", u"::::", false },
        { u"::", u"::::", true },
        { u"::::", u"::", true },
        { u"", u"", true },
        { u"", u"::", true },
        { u"50::::", u"::::", true },
        { u"::::", u"50:49:::", true },
        { u":::", u":::", true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("'" + toUtf8(row.g101) + "' / '" + toUtf8(row.g102) + "'");
        EXPECT_EQ(groupTextsMeanEnabled(row.g101, row.g102), row.enabled);
    }
}

TEST(PermanentState, DoorOptions)
{
    const struct {
        std::u16string dctz;
        std::u16string dotz;
        bool enabled;
    } rows[] = {
        { u"0", u"50", true },
        { u"50", u"0", true },
        { u"50", u"50", true },
        { u"0", u"0", false },
        { u"", u"", false },
        { u"49", u"", false },
        { u" 50", u"050", false },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("'" + toUtf8(row.dctz) + "' / '" + toUtf8(row.dotz) + "'");
        EXPECT_EQ(doorOptionsMeanEnabled(row.dctz, row.dotz), row.enabled);
    }
}

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
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parseCommKey(row.text), row.value);
    }
}

TEST(CommKey, AnythingElseIsNotAValidIntegerValue)
{
    for (const char* text : { "abc", "", "1.5", "2147483648", "-2147483649", " 5", "5 ", "+", "-", "+-1", "0x10", "1e3",
             "99999999999999999999" }) {
        SCOPED_TRACE(text);
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

TEST(WriteRecorder, KeepsRefusedWritesInOrderWithoutMachineNumber)
{
    ScriptedLink s;
    s.script->on("WriteOption", "GTZ101", Answer::value(false));
    s.script->on("WriteTimeZone", "49", Answer::value(false));
    s.script->on("WriteGroupNumber", "102", Answer::value(false));
    s.script->on("WriteUnlockCombination", Answer::value(false));
    WriteRecorder writes(*s.link);

    EXPECT_TRUE(writes.WriteOption(u"GTZ102", u"::::"));
    EXPECT_FALSE(writes.WriteOption(u"GTZ101", u"50:49:::"));
    EXPECT_TRUE(writes.WriteTimeZone(50, u"0000"));
    EXPECT_FALSE(writes.WriteTimeZone(49, u"08001700"));
    EXPECT_TRUE(writes.WriteGroupNumber(101, 0));
    EXPECT_FALSE(writes.WriteGroupNumber(102, 0));
    EXPECT_FALSE(writes.WriteUnlockCombination(1, 1, 0, 0, 0, 0));

    EXPECT_EQ(writes.refused(),
        (Calls { "WriteOption(GTZ101, 50:49:::)", "WriteTimeZone(49, 08001700)", "WriteGroupNumber(102, 0)",
            "WriteUnlockCombination(1, 1, 0, 0, 0, 0)" }));
    writes.clear();
    EXPECT_TRUE(writes.refused().empty());
}

TEST(WriteRecorder, ErrorStatusIsRaisedNotRecorded)
{
    ScriptedLink s;
    s.script->on("WriteOption", Answer::error(kEFail, u"Link lost."));
    WriteRecorder writes(*s.link);
    try {
        writes.WriteOption(u"WiegandOpen", u"406218");
        ADD_FAILURE() << "no error raised";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Link lost");
    }
    EXPECT_TRUE(writes.refused().empty());
}

namespace {

struct SequenceRow {
    const char* name;
    bool enable;
    bool forceOpen;
    Terminal terminal;
    std::array<bool, 4> ticked;
    std::u16string lockFunValue;
    Calls calls;
};

const Calls kWiegand { "WriteOption(1, WiegandOpen, 406218)", "WriteOption(1, WiegandClose, 591734)",
    "WriteOption(1, WiegandNormal, 827365)" };

Calls concat(std::initializer_list<Calls> parts)
{
    Calls out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The time-zone step stands in as one marker write, so its place in the
// order shows in the record.
const Calls kZones { "WriteTimeZone(1, 99, zones)" };

} // namespace

TEST(ProgrammingSequence, OrderOfWritesForEveryChoice)
{
    const std::vector<SequenceRow> rows {
        { "enable, open, group, plain, tz2+tz3", true, true, Terminal::Plain, { true, true, false, false }, u"15",
            concat({ kWiegand,
                { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)" }, kZones,
                { "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)",
                    "WriteOption(1, GTZ101, 50:49:48::)" } }) },
        { "enable, close, group by PermanentDoorColor 1, all zones, K3X", true, false, Terminal::ColourDoorColor1,
            { true, true, true, true }, u"14",
            concat({ kWiegand, { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)" }, kZones,
                { "WriteOption(1, GTZ101, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteOption(1, ~LockFunOn, 14)", "WriteOption(1, GTZ102, 50:49:48:47:46)" } }) },
        { "enable, close, door options", true, false, Terminal::ColourDoorColor0, { true, false, false, false }, u"15",
            concat({ kWiegand, { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)" }, kZones,
                { "WriteOption(1, GTZ101, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteOption(1, ~DCTZ, 50)", "WriteOption(1, ~DOTZ, 0)",
                    "WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)" } }) },
        { "enable, open, door options (unreadable PermanentDoorColor)", true, true, Terminal::ColourDoorColorUnreadable,
            { false, false, false, false }, u"15",
            concat({ kWiegand, { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)" }, kZones,
                { "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteOption(1, ~DCTZ, 0)", "WriteOption(1, ~DOTZ, 50)",
                    "WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)" } }) },
        { "enable, open, group, no zone ticked, no device name yet", true, true, Terminal::Plain,
            { false, false, false, false }, u"",
            concat({ kWiegand,
                { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)" }, kZones,
                { "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 15)",
                    "WriteOption(1, GTZ101, 50::::)" } }) },
        { "disable, group", false, true, Terminal::Plain, { true, true, true, true }, u"14",
            concat({ kWiegand,
                { "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)", "WriteGroupNumber(1, 101, 0)",
                    "WriteGroupNumber(1, 102, 0)" } }) },
        { "disable, group by PermanentDoorColor 1", false, false, Terminal::ColourDoorColor1,
            { false, false, false, false }, u"15",
            concat({ kWiegand,
                { "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteGroupNumber(1, 101, 0)", "WriteGroupNumber(1, 102, 0)" } }) },
        { "disable, door options", false, true, Terminal::ColourDoorColor0, { true, false, false, false }, u"15",
            concat({ kWiegand,
                { "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                    "WriteOption(1, ~DCTZ, 0)", "WriteOption(1, ~DOTZ, 0)" } }) },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLink s;
        script(*s.script, row.terminal);
        WriteRecorder writes(*s.link);
        ProgrammingChoices choices { row.enable, row.forceOpen, row.ticked, row.lockFunValue };
        int zoneSteps = 0;
        int groupSteps = 0;
        runProgrammingSequence(
            writes, choices,
            [&] {
                ++zoneSteps;
                writes.WriteTimeZone(99, u"zones");
            },
            [&] {
                ++groupSteps;
                setGroupOptions(writes, choices);
            });
        EXPECT_EQ(s.script->calls(), row.calls);
        EXPECT_EQ(zoneSteps, row.enable ? 1 : 0);
        EXPECT_EQ(groupSteps, row.enable ? 1 : 0);
        EXPECT_TRUE(writes.refused().empty());
    }
}

TEST(ProgrammingSequence, TimeZoneListFromHighestTickedZone)
{
    const struct {
        std::array<bool, 4> ticked;
        const char* list;
    } rows[] = {
        { { false, false, false, false }, "50::::" },
        { { true, false, false, false }, "50:49:::" },
        { { true, true, false, false }, "50:49:48::" },
        { { true, true, true, false }, "50:49:48:47:" },
        { { true, true, true, true }, "50:49:48:47:46" },
        // The highest ticked box decides, even when a lower one is not ticked.
        { { false, false, true, false }, "50:49:48:47:" },
        { { false, false, false, true }, "50:49:48:47:46" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.list);
        ScriptedLink s;
        script(*s.script, Terminal::Plain);
        WriteRecorder writes(*s.link);
        setGroupOptions(writes, { true, true, row.ticked, u"15" });
        const auto written = s.script->callsOf("WriteOption");
        ASSERT_FALSE(written.empty());
        EXPECT_EQ(written.back(), std::string("WriteOption(1, GTZ101, ") + row.list + ")");
    }
}

TEST(ProgrammingSequence, RefusedWritesDoNotStopTheSequence)
{
    ScriptedLink s;
    script(*s.script, Terminal::Plain);
    s.script->on("WriteOption", Answer::value(false));
    WriteRecorder writes(*s.link);
    const ProgrammingChoices choices { true, true, { true, false, false, false }, u"14" };
    runProgrammingSequence(
        writes, choices, [] {}, [&] { setGroupOptions(writes, choices); });
    EXPECT_EQ(writes.refused(),
        (Calls { "WriteOption(WiegandOpen, 406218)", "WriteOption(WiegandClose, 591734)",
            "WriteOption(WiegandNormal, 827365)", "WriteOption(OpenCloseExtOn, 1)", "WriteOption(~LockFunOn, 14)",
            "WriteOption(GTZ102, ::::)", "WriteOption(~LockFunOn, 14)", "WriteOption(GTZ101, 50:49:::)" }));
}

TEST(ProgrammingSequence, ErrorStatusEndsTheSequenceAtThatWrite)
{
    ScriptedLink s;
    script(*s.script, Terminal::Plain);
    s.script->on("WriteOption", "OpenCloseExtOn", Answer::error(kEFail, u"No answer from the terminal"));
    WriteRecorder writes(*s.link);
    bool zonesRan = false;
    EXPECT_THROW(runProgrammingSequence(
                     writes, { true, true, {}, u"15" }, [&] { zonesRan = true; }, [] {}),
        std::runtime_error);
    EXPECT_FALSE(zonesRan);
    EXPECT_EQ(s.script->calls(), concat({ kWiegand, { "WriteOption(1, OpenCloseExtOn, 1)" } }));
}
