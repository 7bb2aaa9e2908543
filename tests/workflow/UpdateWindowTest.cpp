// The Update stage through the real window over the scripted control: the
// exact order of terminal writes, what is saved, the outcome, the cursor, the
// refused writes and the schedule check.
#include "WorkflowFixture.h"

#include <fstream>
#include <iterator>

namespace {

enum class Terminal { Plain, Colour1, Door };

struct Scenario {
    const char* name;
    Terminal terminal;
    bool enable;
    bool forceOpen;
    int highestTicked; // 1: only zone 1
};

const QString kSucceeded = QStringLiteral("Update Tervalo Terminal Successful.");
const QString kFailed = QStringLiteral("Update Tervalo Terminal Failed.");

} // namespace

class UpdateTest : public WorkflowTest {
protected:
    // Connects to a terminal of the given kind and sets the window's choices.
    void prepare(const Scenario& s)
    {
        if (s.terminal == Terminal::Colour1)
            scriptColour(u"1");
        if (s.terminal == Terminal::Door)
            scriptColour(u"0");
        fillGrid();
        tick(s.highestTicked);
        connectOk();
        radio(s.enable ? "rbtnEnable" : "rbtnDisable")->setChecked(true);
        radio(s.forceOpen ? "rbtnOpen" : "rbtnClose")->setChecked(true);
        boxes.boxes.clear();
    }

    // Every call an Update makes for the scenario, the final write included.
    static Calls expectedCalls(const Scenario& s)
    {
        const bool colour = s.terminal != Terminal::Plain;
        Calls methodCalls { "IsColorTerminal(1)" };
        if (colour)
            methodCalls.push_back("ReadOption(1, PermanentDoorColor)");

        Calls calls = kWiegandWrites;
        if (!s.enable) {
            calls.push_back("WriteOption(1, OpenCloseExtOn, 0)");
            calls.insert(calls.end(), methodCalls.begin(), methodCalls.end());
            if (s.terminal == Terminal::Door) {
                calls.push_back("WriteOption(1, ~DCTZ, 0)");
                calls.push_back("WriteOption(1, ~DOTZ, 0)");
            } else {
                calls.push_back("WriteGroupNumber(1, 101, 0)");
                calls.push_back("WriteGroupNumber(1, 102, 0)");
            }
        } else {
            calls.push_back("WriteOption(1, OpenCloseExtOn, 1)");
            calls.push_back("IsColorTerminal(1)");
            if (!colour)
                calls.push_back("WriteOption(1, ~LockFunOn, 15)");
            for (int zone = 1; zone <= s.highestTicked; ++zone)
                calls.push_back(writeZone(zone));
            calls.push_back(s.forceOpen ? "WriteOption(1, GTZ102, ::::)" : "WriteOption(1, GTZ101, ::::)");
            calls.insert(calls.end(), methodCalls.begin(), methodCalls.end());
            if (s.terminal == Terminal::Door) {
                calls.push_back(s.forceOpen ? "WriteOption(1, ~DCTZ, 0)" : "WriteOption(1, ~DCTZ, 50)");
                calls.push_back(s.forceOpen ? "WriteOption(1, ~DOTZ, 50)" : "WriteOption(1, ~DOTZ, 0)");
                calls.push_back("WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)");
            } else {
                static const char* const kLists[]
                    = { "50::::", "50:49:::", "50:49:48::", "50:49:48:47:", "50:49:48:47:46" };
                calls.push_back("WriteOption(1, ~LockFunOn, 15)");
                calls.push_back(std::string("WriteOption(1, ") + (s.forceOpen ? "GTZ101" : "GTZ102") + ", "
                    + kLists[s.highestTicked - 1] + ")");
            }
        }
        calls.push_back("WriteOption(1, IsHolidayValid, 0)");
        return calls;
    }

    // The store after the Update: zone texts and flags for Enable, nothing
    // for Disable.
    void expectStored(const Scenario& s)
    {
        EXPECT_EQ(stored("50"), s.enable ? std::optional(weekText(1)) : std::nullopt);
        for (int zone = 2; zone <= 5; ++zone) {
            SCOPED_TRACE(zone);
            const std::string index = std::to_string(schedule::terminalIndex(zone));
            const bool written = s.enable && zone <= s.highestTicked;
            EXPECT_EQ(stored(index), written ? std::optional(weekText(zone)) : std::nullopt);
            if (s.enable)
                EXPECT_EQ(stored("TZ" + index), written ? "1" : "0");
            else
                EXPECT_EQ(stored("TZ" + index), std::nullopt);
        }
    }
};

// The cases spelled out call by call, which also pins expectedCalls() that
// the other tests lean on.
TEST_F(UpdateTest, KeyCasesWriteExactlyTheseCalls)
{
    const std::string z1 = writeZone(1), z2 = writeZone(2), z3 = writeZone(3);
    const struct {
        Scenario scenario;
        Calls calls;
    } rows[] = {
        { { "enable, open, plain, tz2 and tz3", Terminal::Plain, true, true, 3 },
            { "WriteOption(1, WiegandOpen, 406218)", "WriteOption(1, WiegandClose, 591734)",
                "WriteOption(1, WiegandNormal, 827365)", "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)",
                "WriteOption(1, ~LockFunOn, 15)", z1, z2, z3, "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)",
                "WriteOption(1, ~LockFunOn, 15)", "WriteOption(1, GTZ101, 50:49:48::)",
                "WriteOption(1, IsHolidayValid, 0)" } },
        { { "enable, close, PermanentDoorColor 1, tz2", Terminal::Colour1, true, false, 2 },
            { "WriteOption(1, WiegandOpen, 406218)", "WriteOption(1, WiegandClose, 591734)",
                "WriteOption(1, WiegandNormal, 827365)", "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", z1,
                z2, "WriteOption(1, GTZ101, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                "WriteOption(1, ~LockFunOn, 15)", "WriteOption(1, GTZ102, 50:49:::)",
                "WriteOption(1, IsHolidayValid, 0)" } },
        { { "enable, close, PermanentDoorColor 0, tz2", Terminal::Door, true, false, 2 },
            { "WriteOption(1, WiegandOpen, 406218)", "WriteOption(1, WiegandClose, 591734)",
                "WriteOption(1, WiegandNormal, 827365)", "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", z1,
                z2, "WriteOption(1, GTZ101, ::::)", "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)",
                "WriteOption(1, ~DCTZ, 50)", "WriteOption(1, ~DOTZ, 0)", "WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)",
                "WriteOption(1, IsHolidayValid, 0)" } },
        { { "enable, open, plain, no zone ticked", Terminal::Plain, true, true, 1 },
            { "WriteOption(1, WiegandOpen, 406218)", "WriteOption(1, WiegandClose, 591734)",
                "WriteOption(1, WiegandNormal, 827365)", "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)",
                "WriteOption(1, ~LockFunOn, 15)", z1, "WriteOption(1, GTZ102, ::::)", "IsColorTerminal(1)",
                "WriteOption(1, ~LockFunOn, 15)", "WriteOption(1, GTZ101, 50::::)",
                "WriteOption(1, IsHolidayValid, 0)" } },
        { { "disable, plain", Terminal::Plain, false, true, 3 },
            { "WriteOption(1, WiegandOpen, 406218)", "WriteOption(1, WiegandClose, 591734)",
                "WriteOption(1, WiegandNormal, 827365)", "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)",
                "WriteGroupNumber(1, 101, 0)", "WriteGroupNumber(1, 102, 0)", "WriteOption(1, IsHolidayValid, 0)" } },
        { { "disable, PermanentDoorColor 0", Terminal::Door, false, false, 1 },
            { "WriteOption(1, WiegandOpen, 406218)", "WriteOption(1, WiegandClose, 591734)",
                "WriteOption(1, WiegandNormal, 827365)", "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)",
                "ReadOption(1, PermanentDoorColor)", "WriteOption(1, ~DCTZ, 0)", "WriteOption(1, ~DOTZ, 0)",
                "WriteOption(1, IsHolidayValid, 0)" } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.scenario.name);
        EXPECT_EQ(expectedCalls(row.scenario), row.calls);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        ASSERT_NO_FATAL_FAILURE(prepare(row.scenario));
        EXPECT_EQ(press(), row.calls);
        EXPECT_EQ(stage(), 2);
    }
}

TEST_F(UpdateTest, WritesInOrderForEveryChoiceAndMethod)
{
    const Scenario rows[] = {
        { "enable, open, plain, tz2 and tz3", Terminal::Plain, true, true, 3 },
        { "enable, close, plain, tz2 to tz4", Terminal::Plain, true, false, 4 },
        { "enable, open, plain, no zone ticked", Terminal::Plain, true, true, 1 },
        { "enable, close, PermanentDoorColor 1, all zones", Terminal::Colour1, true, false, 5 },
        { "enable, open, PermanentDoorColor 1, tz2", Terminal::Colour1, true, true, 2 },
        { "enable, close, PermanentDoorColor 0, tz2", Terminal::Door, true, false, 2 },
        { "enable, open, PermanentDoorColor 0, no zone ticked", Terminal::Door, true, true, 1 },
        { "disable, plain", Terminal::Plain, false, true, 3 },
        { "disable, PermanentDoorColor 1", Terminal::Colour1, false, false, 1 },
        { "disable, PermanentDoorColor 0", Terminal::Door, false, true, 5 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        ASSERT_NO_FATAL_FAILURE(prepare(row));
        const QStringList afterConnect = logLines();
        bool busyWhileBoxShown = false;
        QStringList logWhileBoxShown;
        boxes.onShow = [&](const RecordingMessageBoxes::Box&) {
            busyWhileBoxShown = busyCursor();
            logWhileBoxShown = logLines();
        };

        EXPECT_EQ(press(), expectedCalls(row));

        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, Kind::Information);
        EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Information"));
        EXPECT_EQ(boxes.boxes[0].text, kSucceeded);
        EXPECT_TRUE(busyWhileBoxShown);
        // The outcome is logged once the box is closed.
        EXPECT_EQ(logWhileBoxShown, (afterConnect + QStringList { QStringLiteral("Updating...") }));
        EXPECT_EQ(logLines(),
            (afterConnect
                + QStringList {
                    QStringLiteral("Updating..."), kSucceeded, QString(), QStringLiteral("Please restart terminal") }));
        EXPECT_TRUE(normalCursor());
        EXPECT_EQ(stage(), 2);
        EXPECT_EQ(caption(), QStringLiteral("Restart"));
        expectStored(row);
    }
}

TEST_F(UpdateTest, FinalWriteRefusedClosesTheLinkAndReturnsToConnect)
{
    const Scenario row { "enable, open, plain, tz2", Terminal::Plain, true, true, 2 };
    ASSERT_NO_FATAL_FAILURE(prepare(row));
    const QStringList afterConnect = logLines();
    link->on("WriteOption", "IsHolidayValid", Answer::value(false));
    bool busyWhileBoxShown = false;
    QStringList logWhileBoxShown;
    boxes.onShow = [&](const RecordingMessageBoxes::Box&) {
        busyWhileBoxShown = busyCursor();
        logWhileBoxShown = logLines();
    };

    EXPECT_EQ(press(), concat({ expectedCalls(row), { "DisconnectTerminal()" } }));

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, Kind::Information);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Information"));
    EXPECT_EQ(boxes.boxes[0].text, kFailed);
    EXPECT_TRUE(busyWhileBoxShown);
    EXPECT_EQ(logWhileBoxShown, (afterConnect + QStringList { QStringLiteral("Updating...") }));
    EXPECT_EQ(logLines(),
        (afterConnect
            + QStringList { QStringLiteral("Updating..."),
                QStringLiteral("Refused by terminal: WriteOption(IsHolidayValid, 0)"), kFailed }));
    EXPECT_TRUE(normalCursor());
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
    // The schedule stays saved although the Update failed.
    expectStored(row);

    // The next press connects again.
    const Calls again = press();
    ASSERT_GE(again.size(), 2u);
    EXPECT_EQ(again[0], "SetCommKey(0)");
    EXPECT_EQ(again[1], "ConnectNetwork(127.0.0.1, 4370)");
}

TEST_F(UpdateTest, RefusedWriteInTheSequenceIsAFailureWithItsLines)
{
    const struct {
        Scenario scenario;
        std::vector<std::pair<std::string, std::string>> refuse; // op, selecting argument
        QStringList lines;
    } rows[] = {
        { { "GTZ101 refused", Terminal::Plain, true, true, 2 }, { { "WriteOption", "GTZ101" } },
            { QStringLiteral("WriteOption(GTZ101, 50:49:::)") } },
        { { "time zone 49 refused", Terminal::Plain, true, false, 3 }, { { "WriteTimeZone", "49" } },
            { QStringLiteral("WriteTimeZone(49, %1)").arg(QString::fromStdString(weekText(2))) } },
        { { "~LockFunOn and time zone 50 refused, in order", Terminal::Plain, true, true, 1 },
            { { "WriteOption", "~LockFunOn" }, { "WriteTimeZone", "50" } },
            { QStringLiteral("WriteOption(~LockFunOn, 15)"),
                QStringLiteral("WriteTimeZone(50, %1)").arg(QString::fromStdString(weekText(1))),
                QStringLiteral("WriteOption(~LockFunOn, 15)") } },
        { { "group 101 refused under Disable", Terminal::Plain, false, true, 1 }, { { "WriteGroupNumber", "101" } },
            { QStringLiteral("WriteGroupNumber(101, 0)") } },
        { { "unlock combination refused", Terminal::Door, true, false, 2 }, { { "WriteUnlockCombination", "" } },
            { QStringLiteral("WriteUnlockCombination(1, 1, 0, 0, 0, 0)") } },
        { { "a Wiegand option and the final write refused", Terminal::Colour1, true, true, 1 },
            { { "WriteOption", "WiegandClose" }, { "WriteOption", "IsHolidayValid" } },
            { QStringLiteral("WriteOption(WiegandClose, 591734)"), QStringLiteral("WriteOption(IsHolidayValid, 0)") } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.scenario.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        ASSERT_NO_FATAL_FAILURE(prepare(row.scenario));
        const QStringList afterConnect = logLines();
        for (const auto& [op, arg] : row.refuse) {
            if (arg.empty())
                link->on(op, Answer::value(false));
            else
                link->on(op, arg, Answer::value(false));
        }
        QStringList logWhileBoxShown;
        bool busyWhileBoxShown = false;
        boxes.onShow = [&](const RecordingMessageBoxes::Box&) {
            busyWhileBoxShown = busyCursor();
            logWhileBoxShown = logLines();
        };

        // The sequence runs in full all the same.
        EXPECT_EQ(press(), concat({ expectedCalls(row.scenario), { "DisconnectTerminal()" } }));

        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, Kind::Information);
        EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Information"));
        EXPECT_EQ(boxes.boxes[0].text, kFailed);
        EXPECT_TRUE(busyWhileBoxShown);
        EXPECT_EQ(logWhileBoxShown, (afterConnect + QStringList { QStringLiteral("Updating...") }));
        QStringList expected = afterConnect + QStringList { QStringLiteral("Updating...") };
        for (const QString& line : row.lines)
            expected << QStringLiteral("Refused by terminal: ") + line;
        expected << kFailed;
        EXPECT_EQ(logLines(), expected);
        EXPECT_TRUE(normalCursor());
        EXPECT_EQ(stage(), 0);
        EXPECT_EQ(caption(), QStringLiteral("Connect"));
        expectStored(row.scenario);
    }
}

TEST_F(UpdateTest, ErrorStatusMidSequenceStopsThereWithTheGeneralErrorBox)
{
    const struct {
        const char* name;
        const char* op;
        const char* arg;
        std::size_t callsMade; // of the success case's calls, up to and including the failing one
    } rows[] = {
        { "first Wiegand write", "WriteOption", "WiegandOpen", 1 },
        { "time zone 49", "WriteTimeZone", "49", 8 },
        { "cleared group option", "WriteOption", "GTZ102", 10 },
        { "final write", "WriteOption", "IsHolidayValid", 14 },
    };
    const Scenario scenario { "enable, open, plain, tz2 and tz3", Terminal::Plain, true, true, 3 };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        ASSERT_NO_FATAL_FAILURE(prepare(scenario));
        const QStringList afterConnect = logLines();
        link->on(row.op, row.arg, Answer::error(kEFail, u"The terminal did not answer in time."));
        bool normalWhileBoxShown = false;
        boxes.onShow = [&](const RecordingMessageBoxes::Box&) { normalWhileBoxShown = normalCursor(); };

        const Calls all = expectedCalls(scenario);
        ASSERT_LE(row.callsMade, all.size());
        // Nothing after the failing call is sent, and the link is not closed.
        EXPECT_EQ(press(), Calls(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(row.callsMade)));

        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
        EXPECT_EQ(boxes.boxes[0].title, QApplication::applicationDisplayName());
        EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("The terminal did not answer in time."));
        EXPECT_TRUE(normalWhileBoxShown);
        EXPECT_TRUE(normalCursor());
        EXPECT_EQ(logLines(), (afterConnect + QStringList { QStringLiteral("Updating...") }));
        EXPECT_EQ(stage(), 1);
        EXPECT_EQ(caption(), QStringLiteral("Update"));
    }
}

TEST_F(UpdateTest, ScheduleFieldThatIsNotFourDigitsStopsTheUpdate)
{
    const struct {
        const char* name;
        int highestTicked;
        std::vector<std::tuple<int, int, QString>> set; // zone, slot, text
        QString message;
    } rows[] = {
        { "zone 1 empty", 1, { { 1, 0, QString() } }, QStringLiteral("Time Zone 1, Sunday start: \"\"") },
        { "zone 2 with a colon", 2, { { 2, 3, QStringLiteral("9:3") } },
            QStringLiteral("Time Zone 2, Monday end: \"9:3\"") },
        { "zone 3 too long", 3, { { 3, 12, QStringLiteral("12345") } },
            QStringLiteral("Time Zone 3, Saturday start: \"12345\"") },
        { "zone 5 with a letter", 5, { { 5, 7, QStringLiteral("12a4") } },
            QStringLiteral("Time Zone 5, Wednesday end: \"12a4\"") },
        { "zone 4 with a blank", 4, { { 4, 8, QStringLiteral(" 930") } },
            QStringLiteral("Time Zone 4, Thursday start: \" 930\"") },
        // mon1 normalises as it changes: "9:3" becomes "09:3", still not digits.
        { "mon1 normalised yet wrong", 1, { { 1, 2, QStringLiteral("9:3") } },
            QStringLiteral("Time Zone 1, Monday start: \"09:3\"") },
        { "the first bad field is named", 3,
            { { 3, 0, QStringLiteral("1") }, { 1, 13, QStringLiteral("2400x") }, { 2, 5, QString() } },
            QStringLiteral("Time Zone 1, Saturday end: \"2400x\"") },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        ASSERT_NO_FATAL_FAILURE(prepare({ row.name, Terminal::Plain, true, true, row.highestTicked }));
        for (const auto& [zone, slot, text] : row.set)
            field(zone, slot)->setText(text);
        const QStringList afterConnect = logLines();

        EXPECT_TRUE(press().empty());

        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
        EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Error"));
        EXPECT_EQ(boxes.boxes[0].text, row.message + QStringLiteral(" is not a four-digit time (HHMM)."));
        EXPECT_EQ(logLines(), afterConnect);
        EXPECT_EQ(stage(), 1);
        EXPECT_EQ(caption(), QStringLiteral("Update"));
        EXPECT_TRUE(normalCursor());
        EXPECT_EQ(stored("50"), std::nullopt);
        EXPECT_EQ(stored("TZ49"), std::nullopt);
    }
}

TEST_F(UpdateTest, ScheduleCheckSkipsUntickedZonesAndDisable)
{
    const struct {
        Scenario scenario;
        int zone;
        int slot;
    } rows[] = {
        { { "unticked zone 3 with an empty field", Terminal::Plain, true, true, 2 }, 3, 4 },
        { { "unticked zone 5 with a letter", Terminal::Door, true, false, 4 }, 5, 13 },
        { { "Disable with an empty zone 1 field", Terminal::Plain, false, true, 1 }, 1, 0 },
        { { "Disable with a bad ticked zone", Terminal::Door, false, true, 2 }, 2, 1 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.scenario.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        ASSERT_NO_FATAL_FAILURE(prepare(row.scenario));
        field(row.zone, row.slot)->setText(row.zone == 5 ? QStringLiteral("x") : QString());

        EXPECT_EQ(press(), expectedCalls(row.scenario));
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].text, kSucceeded);
        EXPECT_EQ(stage(), 2);
    }
}

// The schedule is saved in the middle of the sequence, so a store that cannot
// take it must stop the Update before the first terminal write.
TEST_F(UpdateTest, StoreThatCannotBeWrittenStopsEnableBeforeTheTerminal)
{
    const auto dir = storePath().parent_path();
    const auto foreign = dir / "foreign.db";
    std::ofstream(foreign) << "someone else's file\n";
    std::ofstream(dir / "plain") << "not a folder\n";
    const struct {
        Scenario scenario;
        std::filesystem::path file;
        std::string reason; // empty: the Update runs
    } rows[] = {
        { { "someone else's file", Terminal::Plain, true, true, 2 }, foreign, "not a settings database" },
        { { "a folder that cannot be made", Terminal::Door, true, false, 1 }, dir / "plain" / "sub" / "hklm.db",
            (dir / "plain").string() + " is not a folder" },
        // Disable saves nothing, so a store it could not write does not stop it.
        { { "Disable", Terminal::Plain, false, true, 1 }, foreign, "" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.scenario.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow(row.file));
        ASSERT_NO_FATAL_FAILURE(prepare(row.scenario));
        const QStringList afterConnect = logLines();

        const Calls calls = press();
        ASSERT_EQ(boxes.boxes.size(), 1u);
        if (row.reason.empty()) {
            EXPECT_EQ(calls, expectedCalls(row.scenario));
            EXPECT_EQ(boxes.boxes[0].text, kSucceeded);
            continue;
        }
        EXPECT_EQ(calls, Calls {});
        EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
        EXPECT_EQ(boxes.boxes[0].title, QApplication::applicationDisplayName());
        EXPECT_EQ(boxes.boxes[0].text.toStdString(),
            "Failed to create key Tervalo.\n" + row.file.string() + ": " + row.reason);
        EXPECT_EQ(logLines(), afterConnect);
        EXPECT_EQ(stage(), 1);
        EXPECT_TRUE(normalCursor());
    }
    std::ifstream left(foreign);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(left), {}), "someone else's file\n");
}

TEST_F(UpdateTest, UpdateUsesTheOpenLinkWhateverTheAddressNowSays)
{
    const Scenario row { "enable, open, plain", Terminal::Plain, true, true, 1 };
    ASSERT_NO_FATAL_FAILURE(prepare(row));
    edit("edtIP")->setText(QStringLiteral("127.0.0.42"));
    edit("edtKey")->setText(QStringLiteral("not a key"));
    EXPECT_EQ(press(), expectedCalls(row));
    EXPECT_EQ(stage(), 2);
}
