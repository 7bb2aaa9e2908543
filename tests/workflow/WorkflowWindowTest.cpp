// Connect and Restart, the key, and the button's stages, driven through the
// real window over the scripted control.
#include "WorkflowFixture.h"

namespace {

const QStringList kIdentityLines {
    QStringLiteral("Firmware Version: FW 2.4.1"),
    QStringLiteral("Product Name: TR-400"),
    QStringLiteral("Manufacturer: Test Vendor"),
    QStringLiteral("Serial Numner: SN0001"),
    QStringLiteral("SDK Version: 3.0.0"),
};

const std::vector<std::string> kConnectCalls {
    "SetCommKey(0)",
    "ConnectNetwork(127.0.0.1, 4370)",
    "ReadFirmwareVersion(1)",
    "ReadProductName(1)",
    "ReadVendorName()",
    "ReadSerialNumber(1)",
    "ReadSdkVersion()",
    "ReadOption(1, ~DeviceName)",
};

const QString kEnabledLine = QStringLiteral("Force Open/Close Function is ENABLED");
const QString kDisabledLine = QStringLiteral("Force Open/Close Function is DISABLED");
const QString kUnreadLine = QStringLiteral("Force Open/Close Function state could not be read");

} // namespace

TEST_F(WorkflowTest, ConnectClearsTheLogAndLogsIdentityAndState)
{
    window->AddInfo(QStringLiteral("left from before"));
    const Calls calls = press();

    EXPECT_EQ(
        calls, concat({ kConnectCalls, { "IsColorTerminal(1)", "ReadGroupText(1, 101)", "ReadGroupText(1, 102)" } }));
    EXPECT_EQ(logLines(),
        (QStringList { QStringLiteral("Connected to 127.0.0.1") } + kIdentityLines + QStringList { kEnabledLine }));
    EXPECT_EQ(stage(), 1);
    EXPECT_EQ(caption(), QStringLiteral("Update"));
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_TRUE(normalCursor());
}

TEST_F(WorkflowTest, IdentityReadThatFailsAddsNoLine)
{
    const char* const reads[]
        = { "ReadFirmwareVersion", "ReadProductName", "ReadVendorName", "ReadSerialNumber", "ReadSdkVersion" };
    for (std::size_t failing = 0; failing < std::size(reads); ++failing) {
        SCOPED_TRACE(reads[failing]);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        link->on(reads[failing], Answer::value(false, u"must not show"));
        EXPECT_EQ(press(),
            concat({ kConnectCalls, { "IsColorTerminal(1)", "ReadGroupText(1, 101)", "ReadGroupText(1, 102)" } }));
        QStringList expected { QStringLiteral("Connected to 127.0.0.1") };
        for (qsizetype i = 0; i < kIdentityLines.size(); ++i) {
            if (i != static_cast<qsizetype>(failing))
                expected << kIdentityLines.at(i);
        }
        expected << kEnabledLine;
        EXPECT_EQ(logLines(), expected);
        EXPECT_TRUE(boxes.boxes.empty());
    }
}

TEST_F(WorkflowTest, StateLineAndZoneBoxesForEachMethod)
{
    enum Method { Plain, Colour1, Door };
    const struct {
        const char* name;
        Method method;
        Answer first; // group 101, or ~DCTZ
        Answer second; // group 102, or ~DOTZ
        const QString& line;
    } rows[] = {
        { "both '::'", Plain, Answer::value(true, u"::"), Answer::value(true, u"::"), kDisabledLine },
        { "both '::::'", Plain, Answer::value(true, u"::::"), Answer::value(true, u"::::"), kDisabledLine },
        { "'::' and '::::'", Plain, Answer::value(true, u"::"), Answer::value(true, u"::::"), kEnabledLine },
        { "'::::' and '::'", Plain, Answer::value(true, u"::::"), Answer::value(true, u"::"), kEnabledLine },
        { "both empty", Plain, Answer::value(true, u""), Answer::value(true, u""), kEnabledLine },
        { "a zone list", Plain, Answer::value(true, u"50:49:::"), Answer::value(true, u"::::"), kEnabledLine },
        { "colour, PermanentDoorColor 1, both '::'", Colour1, Answer::value(true, u"::"), Answer::value(true, u"::"),
            kDisabledLine },
        { "colour, PermanentDoorColor 1, empty", Colour1, Answer::value(true, u""), Answer::value(true, u""),
            kEnabledLine },
        { "door: DCTZ 0, DOTZ 50", Door, Answer::value(true, u"0"), Answer::value(true, u"50"), kEnabledLine },
        { "door: DCTZ 50, DOTZ 0", Door, Answer::value(true, u"50"), Answer::value(true, u"0"), kEnabledLine },
        { "door: both 0", Door, Answer::value(true, u"0"), Answer::value(true, u"0"), kDisabledLine },
        { "door: both empty", Door, Answer::value(true, u""), Answer::value(true, u""), kDisabledLine },
        // A refused read is not judged: neither a text nor the empty text stands in for it.
        { "group 101 refused", Plain, Answer::value(false), Answer::value(true, u"::"), kUnreadLine },
        { "group 102 refused", Colour1, Answer::value(true, u"::"), Answer::value(false, u"::"), kUnreadLine },
        { "door: DCTZ refused", Door, Answer::value(false, u"50"), Answer::value(true, u"0"), kUnreadLine },
        { "door: DOTZ refused", Door, Answer::value(true, u"50"), Answer::value(false), kUnreadLine },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        Calls tail;
        if (row.method == Plain) {
            tail = { "IsColorTerminal(1)", "ReadGroupText(1, 101)", "ReadGroupText(1, 102)" };
        } else if (row.method == Colour1) {
            scriptColour(u"1");
            tail = { "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)", "ReadGroupText(1, 101)",
                "ReadGroupText(1, 102)" };
        } else {
            scriptColour(u"0");
            tail = { "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)", "ReadOption(1, ~DCTZ)",
                "ReadOption(1, ~DOTZ)" };
        }
        if (row.method == Door) {
            link->on("ReadOption", "~DCTZ", row.first);
            link->on("ReadOption", "~DOTZ", row.second);
        } else {
            link->on("ReadGroupText", "101", row.first);
            link->on("ReadGroupText", "102", row.second);
        }
        // Ticks of zones 2 and 3, and each box's enabled state the opposite
        // of what Connect must leave.
        tick(3);
        const bool boxesEnabled = row.method != Door;
        for (int zone = 2; zone <= 5; ++zone)
            box(zone)->setEnabled(!boxesEnabled);

        EXPECT_EQ(press(), concat({ kConnectCalls, tail }));
        EXPECT_EQ(logLines().last(), row.line);
        EXPECT_EQ(logLines().size(), 7);
        for (int zone = 2; zone <= 5; ++zone) {
            SCOPED_TRACE(zone);
            EXPECT_EQ(box(zone)->isEnabled(), boxesEnabled);
            EXPECT_EQ(box(zone)->isChecked(), zone <= 3);
        }
    }
}

TEST_F(WorkflowTest, EnabledStateRederivesTheSettingsGroupFromTheChoice)
{
    const struct {
        const char* name;
        bool chooseEnable;
        bool groupBefore;
        Answer groupRead; // "::" reads back DISABLED
        bool groupAfter;
    } rows[] = {
        { "Disable chosen, ENABLED: the group follows the choice", false, true, Answer::value(true), false },
        { "Enable chosen, ENABLED: the group follows the choice", true, false, Answer::value(true), true },
        { "Disable chosen, DISABLED: the group is left alone", false, true, Answer::value(true, u"::"), true },
        { "Disable chosen, state unread: the group is left alone", false, true, Answer::value(false), true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        radio(row.chooseEnable ? "rbtnEnable" : "rbtnDisable")->setChecked(true);
        auto* group = child<QGroupBox>(QStringLiteral("gbTZ"));
        group->setEnabled(row.groupBefore);
        link->on("ReadGroupText", row.groupRead);
        connectOk();
        EXPECT_EQ(group->isEnabled(), row.groupAfter);
        // The choice itself is not changed.
        EXPECT_EQ(radio("rbtnEnable")->isChecked(), row.chooseEnable);
        EXPECT_EQ(radio("rbtnDisable")->isChecked(), !row.chooseEnable);
    }
}

TEST_F(WorkflowTest, LockFunValueFromTheDeviceName)
{
    const struct {
        std::u16string name;
        const char* value;
    } rows[] = { { u"K3X", "14" }, { u"k3x", "14" }, { u"K3X-A", "15" }, { u"XK3X", "15" } };
    for (const auto& row : rows) {
        SCOPED_TRACE(toUtf8(row.name));
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        link->on("ReadOption", "~DeviceName", Answer::value(true, row.name));
        connectOk();
        EXPECT_EQ(window->lockFunValue(), QString::fromLatin1(row.value));
        press();
        const std::string written = std::string("WriteOption(1, ~LockFunOn, ") + row.value + ")";
        EXPECT_EQ(callsStartingWith("WriteOption(1, ~LockFunOn,"), (Calls { written, written }));
    }
}

TEST_F(WorkflowTest, UnreadableDeviceNameKeepsThePreviousValue)
{
    // Before any name was read the value is empty, and "15" is written.
    link->on("ReadOption", "~DeviceName", Answer::value(false, u"K3X"));
    connectOk();
    EXPECT_TRUE(window->lockFunValue().isEmpty());
    press();
    EXPECT_EQ(callsStartingWith("WriteOption(1, ~LockFunOn,"),
        (Calls { "WriteOption(1, ~LockFunOn, 15)", "WriteOption(1, ~LockFunOn, 15)" }));
    press(); // Restart

    link->on("ReadOption", "~DeviceName", Answer::value(true, u"K3X"));
    connectOk();
    EXPECT_EQ(window->lockFunValue(), QStringLiteral("14"));
    press();
    press();

    link->on("ReadOption", "~DeviceName", Answer::value(false, u"OTHER"));
    connectOk();
    EXPECT_EQ(window->lockFunValue(), QStringLiteral("14"));
    press();
    EXPECT_EQ(callsStartingWith("WriteOption(1, ~LockFunOn,"),
        (Calls { "WriteOption(1, ~LockFunOn, 14)", "WriteOption(1, ~LockFunOn, 14)" }));
}

TEST_F(WorkflowTest, KeyThatIsNotAWholeNumberStopsBeforeConnecting)
{
    for (const char* key : { "abc", "", "1.5", "2147483648", "-2147483649", " 5" }) {
        SCOPED_TRACE(key);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        window->AddInfo(QStringLiteral("left from before"));
        edit("edtKey")->setText(QString::fromLatin1(key));
        EXPECT_TRUE(press().empty());
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
        EXPECT_EQ(boxes.boxes[0].title, QApplication::applicationDisplayName());
        EXPECT_EQ(
            boxes.boxes[0].text, QStringLiteral("'%1' is not a valid integer value.").arg(QString::fromLatin1(key)));
        EXPECT_TRUE(logLines().isEmpty());
        EXPECT_EQ(stage(), 0);
        EXPECT_EQ(caption(), QStringLiteral("Connect"));
    }
}

TEST_F(WorkflowTest, KeyAcceptedAsSignedThirtyTwoBitNumber)
{
    const struct {
        const char* text;
        const char* sent;
    } rows[] = { { "-2147483648", "-2147483648" }, { "2147483647", "2147483647" }, { "+7", "7" }, { "0", "0" } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        edit("edtKey")->setText(QString::fromLatin1(row.text));
        const Calls calls = press();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[0], std::string("SetCommKey(") + row.sent + ")");
        EXPECT_EQ(calls[1], "ConnectNetwork(127.0.0.1, 4370)");
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_EQ(stage(), 1);
    }
}

TEST_F(WorkflowTest, RefusedConnectionShowsUnableToConnect)
{
    edit("edtIP")->setText(QStringLiteral("127.0.3.99"));
    window->AddInfo(QStringLiteral("left from before"));
    // The control's cause and sentence change nothing here: the box stays the same.
    link->on("ConnectNetwork",
        Answer::refusedConnect(ConnectFailure::Unreachable, u"The terminal could not be reached (Connection refused)"));

    EXPECT_EQ(press(), (Calls { "SetCommKey(0)", "ConnectNetwork(127.0.3.99, 4370)" }));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Error"));
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Unable to connect to 127.0.3.99"));
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
}

TEST_F(WorkflowTest, BlankAddressStopsEveryStage)
{
    for (int target = 0; target <= 2; ++target) {
        SCOPED_TRACE(target);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        for (int step = 0; step < target; ++step)
            press();
        ASSERT_EQ(stage(), target);
        const QStringList log = logLines();
        boxes.boxes.clear();
        edit("edtIP")->clear();

        EXPECT_TRUE(press().empty());
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
        EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Error"));
        EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("IP cannot be blank! "));
        EXPECT_EQ(stage(), target);
        EXPECT_EQ(logLines(), log);
    }
}

TEST_F(WorkflowTest, ConnectUpdateRestartAndConnectAgain)
{
    for (bool restartAccepted : { true, false }) {
        SCOPED_TRACE(restartAccepted ? "restart accepted" : "restart refused");
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        link->on("RestartTerminal", Answer::value(restartAccepted));

        connectOk();
        const QStringList afterConnect = logLines();
        EXPECT_EQ(afterConnect.size(), 7);

        press();
        EXPECT_EQ(stage(), 2);
        EXPECT_EQ(caption(), QStringLiteral("Restart"));
        // Update adds to the log; it never clears it.
        EXPECT_EQ(logLines(),
            (afterConnect
                + QStringList { QStringLiteral("Updating..."), QStringLiteral("Update Tervalo Terminal Successful."),
                    QString(), QStringLiteral("Please restart terminal") }));
        const QStringList afterUpdate = logLines();

        boxes.boxes.clear();
        EXPECT_EQ(press(), (Calls { "RestartTerminal(1)" }));
        EXPECT_EQ(stage(), 0);
        EXPECT_EQ(caption(), QStringLiteral("Connect"));
        EXPECT_EQ(logLines(),
            (afterUpdate
                + QStringList { QStringLiteral("Terminal is restarting..."),
                    restartAccepted ? QStringLiteral("***** Completed *****")
                                    : QStringLiteral("Refused by terminal: RestartTerminal()") }));
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_TRUE(normalCursor());

        // The old link is not closed before the new one is opened.
        const Calls again = press();
        ASSERT_GE(again.size(), 2u);
        EXPECT_EQ(
            Calls(again.begin(), again.begin() + 2), (Calls { "SetCommKey(0)", "ConnectNetwork(127.0.0.1, 4370)" }));
        EXPECT_TRUE(link->callsOf("DisconnectTerminal").empty());
        EXPECT_EQ(logLines(),
            (QStringList { QStringLiteral("Connected to 127.0.0.1") } + kIdentityLines + QStringList { kEnabledLine }));
        EXPECT_EQ(stage(), 1);
    }
}

TEST_F(WorkflowTest, ErrorStatusDuringConnectKeepsTheStageReached)
{
    const struct {
        const char* name;
        const char* op;
        const char* arg;
        int stage;
        int calls;
        qsizetype identityLines; // logged before the error, after "Connected to"
        bool boxesSet; // the zone boxes follow the method
    } rows[] = {
        { "SetCommKey", "SetCommKey", nullptr, 0, 1, -1, false },
        { "ConnectNetwork", "ConnectNetwork", nullptr, 0, 2, -1, false },
        { "ReadSerialNumber", "ReadSerialNumber", nullptr, 1, 6, 3, false },
        { "~DeviceName", "ReadOption", "~DeviceName", 1, 8, 5, false },
        { "ReadGroupText 102", "ReadGroupText", "102", 1, 11, 5, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(freshWindow());
        for (int zone = 2; zone <= 5; ++zone)
            box(zone)->setEnabled(false);
        const Answer error = Answer::error(kEFail, u"The terminal did not answer in time");
        if (row.arg)
            link->on(row.op, row.arg, error);
        else
            link->on(row.op, error);
        EXPECT_EQ(static_cast<int>(press().size()), row.calls);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
        EXPECT_EQ(boxes.boxes[0].title, QApplication::applicationDisplayName());
        EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("The terminal did not answer in time."));
        EXPECT_EQ(stage(), row.stage);
        EXPECT_EQ(caption(), row.stage ? QStringLiteral("Update") : QStringLiteral("Connect"));
        // What was read before the error is still shown.
        const QStringList expectedLog = row.identityLines < 0
            ? QStringList()
            : QStringList { QStringLiteral("Connected to 127.0.0.1") } + kIdentityLines.first(row.identityLines);
        EXPECT_EQ(logLines(), expectedLog);
        EXPECT_EQ(box(2)->isEnabled(), row.boxesSet);
    }
}
