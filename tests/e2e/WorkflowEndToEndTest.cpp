// Connect, Update and Restart from the real window through the real control
// to a real simulator, each test on a loopback address of its own.
#include "EndToEndFixture.h"

#include "LatchwiseVersion.h"

#include <chrono>

namespace {

const QString kConnectedPrefix = QStringLiteral("Connected to ");
const QStringList kIdentityLines {
    QStringLiteral("Firmware Version: 1.0.0-sim"),
    QStringLiteral("Product Name: TS-100 Simulator"),
    QStringLiteral("Manufacturer: Demo Vendor"),
    QStringLiteral("Serial Numner: SIM-000000001"),
    QStringLiteral("SDK Version: Latchwise termlink ") + QString::fromLatin1(kLatchwiseVersion),
};
const QString kEnabledLine = QStringLiteral("Force Open/Close Function is ENABLED");
const QString kDisabledLine = QStringLiteral("Force Open/Close Function is DISABLED");
const QStringList kSucceededLines { QStringLiteral("Updating..."),
    QStringLiteral("Update Tervalo Terminal Successful."), QString(), QStringLiteral("Please restart terminal") };
const std::vector<std::string> kGroupStateReads { "IsColorTerminal(1)", "ReadGroupText(1, 101)",
    "ReadGroupText(1, 102)" };

QStringList connectLog(const std::string& address, const QString& state)
{
    return QStringList { kConnectedPrefix + QString::fromStdString(address) } + kIdentityLines + QStringList { state };
}

} // namespace

TEST_F(EndToEndTest, ConnectWithTheRightKey)
{
    ASSERT_NO_FATAL_FAILURE(startTerminal("127.0.3.1", -20231));
    ASSERT_NO_FATAL_FAILURE(createWindow());
    edit("edtKey")->setText(QStringLiteral("-20231"));

    EXPECT_EQ(press(), concat({ kConnectOperations, kGroupStateReads }));
    EXPECT_TRUE(boxes.boxes.empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(logLines(), connectLog(sim->address(), kDisabledLine));
    EXPECT_EQ(stage(), 1);
    EXPECT_EQ(caption(), QStringLiteral("Update"));
    EXPECT_EQ(window->lockFunValue(), QStringLiteral("14")); // the simulator is a K3X
    EXPECT_EQ(events("auth_ok"), 1);
}

TEST_F(EndToEndTest, ConnectWithAWrongKeyIsUnableToConnect)
{
    ASSERT_NO_FATAL_FAILURE(startTerminal("127.0.3.2", 20231));
    ASSERT_NO_FATAL_FAILURE(createWindow());
    edit("edtKey")->setText(QStringLiteral("20232"));

    EXPECT_TRUE(press().empty());
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Error"));
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Unable to connect to 127.0.3.2"));
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_EQ(stage(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return events("auth_failed") == 1; }, 5000));
    EXPECT_EQ(events("auth_ok"), 0);

    // The right key then gets in.
    boxes.boxes.clear();
    edit("edtKey")->setText(QStringLiteral("20231"));
    EXPECT_EQ(press(), concat({ kConnectOperations, kGroupStateReads }));
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(stage(), 1);
}

TEST_F(EndToEndTest, ForceOpenUpdateRestartAndConnectAgain)
{
    ASSERT_NO_FATAL_FAILURE(startTerminal("127.0.3.3"));
    ASSERT_NO_FATAL_FAILURE(createWindow());
    press();
    ASSERT_EQ(stage(), 1) << boxes.texts().join(QLatin1Char('|')).toStdString();

    setZone(1, "0600", "2200");
    box(2)->setChecked(true);
    box(3)->setChecked(true);
    setZone(2, "0700", "0800");
    setZone(3, "1200", "1300");
    radio("rbtnEnable")->setChecked(true);
    radio("rbtnOpen")->setChecked(true);
    const QStringList afterConnect = logLines();
    bool busyWhileBoxShown = false;
    boxes.onShow
        = [&](const RecordingMessageBoxes::Box&) { busyWhileBoxShown = QApplication::overrideCursor() != nullptr; };

    EXPECT_EQ(press(),
        concat({ kWiegand,
            { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)",
                "WriteTimeZone(1, 50, " + weekOf("0600", "2200") + ")",
                "WriteTimeZone(1, 49, " + weekOf("0700", "0800") + ")",
                "WriteTimeZone(1, 48, " + weekOf("1200", "1300") + ")", "WriteOption(1, GTZ102, ::::)",
                "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)", "WriteOption(1, GTZ101, 50:49:48::)",
                "WriteOption(1, IsHolidayValid, 0)" } }));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, Kind::Information);
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Update Tervalo Terminal Successful."));
    EXPECT_TRUE(busyWhileBoxShown);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(logLines(), (afterConnect + kSucceededLines));
    EXPECT_EQ(stage(), 2);
    EXPECT_EQ(caption(), QStringLiteral("Restart"));
    EXPECT_TRUE(window->grab().save(QStringLiteral(LATCHWISE_BUILD_DIR "/e2e-after-update.png")));

    EXPECT_EQ(stored("50"), weekOf("0600", "2200"));
    EXPECT_EQ(stored("49"), weekOf("0700", "0800"));
    EXPECT_EQ(stored("48"), weekOf("1200", "1300"));
    EXPECT_EQ(stored("47"), std::nullopt);
    EXPECT_EQ(stored("46"), std::nullopt);
    EXPECT_EQ(stored("TZ49"), "1");
    EXPECT_EQ(stored("TZ48"), "1");
    EXPECT_EQ(stored("TZ47"), "0");
    EXPECT_EQ(stored("TZ46"), "0");

    const QStringList afterUpdate = logLines();
    pressRestartAndWaitForTerminal();
    EXPECT_EQ(logLines(),
        (afterUpdate
            + QStringList { QStringLiteral("Terminal is restarting..."), QStringLiteral("***** Completed *****") }));
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(caption(), QStringLiteral("Connect"));

    boxes.boxes.clear();
    EXPECT_EQ(press(), concat({ kConnectOperations, kGroupStateReads }));
    EXPECT_TRUE(boxes.boxes.empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(logLines(), connectLog(sim->address(), kEnabledLine));
    EXPECT_EQ(stage(), 1);
}

TEST_F(EndToEndTest, ForceCloseThenDisableReadsBackEachState)
{
    ASSERT_NO_FATAL_FAILURE(startTerminal("127.0.3.4", 5));
    ASSERT_NO_FATAL_FAILURE(createWindow());
    edit("edtKey")->setText(QStringLiteral("+5"));
    press();
    ASSERT_EQ(stage(), 1) << boxes.texts().join(QLatin1Char('|')).toStdString();

    setZone(1, "0800", "1700");
    for (int zone = 2; zone <= 4; ++zone)
        box(zone)->setChecked(true);
    setZone(2, "1800", "1900");
    setZone(3, "2000", "2100");
    setZone(4, "2200", "2300");
    radio("rbtnClose")->setChecked(true);

    EXPECT_EQ(press(),
        concat({ kWiegand,
            { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)",
                "WriteTimeZone(1, 50, " + weekOf("0800", "1700") + ")",
                "WriteTimeZone(1, 49, " + weekOf("1800", "1900") + ")",
                "WriteTimeZone(1, 48, " + weekOf("2000", "2100") + ")",
                "WriteTimeZone(1, 47, " + weekOf("2200", "2300") + ")", "WriteOption(1, GTZ101, ::::)",
                "IsColorTerminal(1)", "WriteOption(1, ~LockFunOn, 14)", "WriteOption(1, GTZ102, 50:49:48:47:)",
                "WriteOption(1, IsHolidayValid, 0)" } }));
    EXPECT_EQ(stage(), 2);
    pressRestartAndWaitForTerminal();
    press();
    EXPECT_EQ(logLines().last(), kEnabledLine);

    // Disable: the switching off only, and nothing saved.
    radio("rbtnDisable")->setChecked(true);
    boxes.boxes.clear();
    EXPECT_EQ(press(),
        concat({ kWiegand,
            { "WriteOption(1, OpenCloseExtOn, 0)", "IsColorTerminal(1)", "WriteGroupNumber(1, 101, 0)",
                "WriteGroupNumber(1, 102, 0)", "WriteOption(1, IsHolidayValid, 0)" } }));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Update Tervalo Terminal Successful."));
    EXPECT_EQ(stage(), 2);
    pressRestartAndWaitForTerminal();

    EXPECT_EQ(press(), concat({ kConnectOperations, kGroupStateReads }));
    EXPECT_EQ(logLines(), connectLog(sim->address(), kDisabledLine));

    // The store holds the Force Close schedule: Disable saved nothing.
    EXPECT_EQ(stored("50"), weekOf("0800", "1700"));
    EXPECT_EQ(stored("47"), weekOf("2200", "2300"));
    EXPECT_EQ(stored("TZ47"), "1");
    EXPECT_EQ(stored("TZ46"), "0");
}

TEST_F(EndToEndTest, ColourTerminalUsesTheDoorOptions)
{
    const nlohmann::json state { { "colorTerminal", true },
        { "options",
            { { "~DeviceName", "TR-400" }, { "PermanentDoorColor", "0" }, { "GTZ101", "::" }, { "GTZ102", "::" },
                { "~DCTZ", "0" }, { "~DOTZ", "0" } } } };
    ASSERT_NO_FATAL_FAILURE(startTerminal("127.0.3.5", std::nullopt, {}, state));
    ASSERT_NO_FATAL_FAILURE(createWindow());

    const Calls doorReads { "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)", "ReadOption(1, ~DCTZ)",
        "ReadOption(1, ~DOTZ)" };
    EXPECT_EQ(press(), concat({ kConnectOperations, doorReads }));
    EXPECT_EQ(logLines().last(), kDisabledLine);
    EXPECT_EQ(window->lockFunValue(), QStringLiteral("15"));
    for (int zone = 2; zone <= 5; ++zone)
        EXPECT_FALSE(box(zone)->isEnabled()) << zone;

    setZone(1, "0730", "1930");
    EXPECT_EQ(press(),
        concat({ kWiegand,
            { "WriteOption(1, OpenCloseExtOn, 1)", "IsColorTerminal(1)",
                "WriteTimeZone(1, 50, " + weekOf("0730", "1930") + ")", "WriteOption(1, GTZ102, ::::)",
                "IsColorTerminal(1)", "ReadOption(1, PermanentDoorColor)", "WriteOption(1, ~DCTZ, 0)",
                "WriteOption(1, ~DOTZ, 50)", "WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)",
                "WriteOption(1, IsHolidayValid, 0)" } }));
    EXPECT_EQ(stage(), 2);

    // What the terminal now holds.
    const nlohmann::json saved = nlohmann::json::parse(std::ifstream(sim->stateFile()));
    EXPECT_EQ(saved["options"]["~DOTZ"], "50");
    EXPECT_EQ(saved["options"]["~DCTZ"], "0");
    EXPECT_FALSE(saved["options"].contains("~LockFunOn"));
    EXPECT_EQ(saved["unlockCombination"], nlohmann::json({ 1, 1, 0, 0, 0, 0 }));

    pressRestartAndWaitForTerminal();
    EXPECT_EQ(press(), concat({ kConnectOperations, doorReads }));
    EXPECT_EQ(logLines().last(), kEnabledLine);
}

TEST_F(EndToEndTest, RefusedFinalWriteTakesTheFailurePath)
{
    ASSERT_NO_FATAL_FAILURE(startTerminal("127.0.3.6", std::nullopt, { "WriteOption:IsHolidayValid=false" }));
    ASSERT_NO_FATAL_FAILURE(createWindow());
    press();
    ASSERT_EQ(stage(), 1) << boxes.texts().join(QLatin1Char('|')).toStdString();
    setZone(1, "0900", "1000");
    const QStringList afterConnect = logLines();
    const int closed = events("close");

    const Calls update = press();
    ASSERT_FALSE(update.empty());
    EXPECT_EQ(Calls(update.begin(), update.begin() + 3), kWiegand);
    EXPECT_EQ(update.back(), "WriteOption(1, IsHolidayValid, 0)");
    EXPECT_EQ(update.size(), 12u);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, Kind::Information);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Information"));
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Update Tervalo Terminal Failed."));
    EXPECT_EQ(logLines(),
        (afterConnect
            + QStringList { QStringLiteral("Updating..."),
                QStringLiteral("Refused by terminal: WriteOption(IsHolidayValid, 0)"),
                QStringLiteral("Update Tervalo Terminal Failed.") }));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
    // The link was closed, and the schedule was saved all the same.
    EXPECT_TRUE(QTest::qWaitFor([&] { return events("close") > closed; }, 5000));
    EXPECT_EQ(stored("50"), weekOf("0900", "1000"));

    // The next press connects afresh.
    boxes.boxes.clear();
    EXPECT_EQ(press(), concat({ kConnectOperations, kGroupStateReads }));
    EXPECT_EQ(logLines().first(), kConnectedPrefix + QStringLiteral("127.0.3.6"));
    EXPECT_EQ(stage(), 1);
}

TEST_F(EndToEndTest, SilentTerminalShowsTheGeneralErrorBoxWithinTheBound)
{
    ASSERT_NO_FATAL_FAILURE(startTerminal("127.0.3.7", std::nullopt, { "WriteOption:GTZ102=hang" }));
    ASSERT_NO_FATAL_FAILURE(createWindow());
    press();
    ASSERT_EQ(stage(), 1) << boxes.texts().join(QLatin1Char('|')).toStdString();
    const QStringList afterConnect = logLines();
    bool normalWhileBoxShown = false;
    boxes.onShow = [&](const RecordingMessageBoxes::Box&) { normalWhileBoxShown = !QApplication::overrideCursor(); };

    const auto started = std::chrono::steady_clock::now();
    const Calls update = press();
    const auto elapsed = std::chrono::steady_clock::now() - started;

    // The control's answer bound is 5 s; allow for a slow, sanitised build.
    EXPECT_LT(elapsed, std::chrono::milliseconds(7500));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, Kind::Error);
    EXPECT_EQ(boxes.boxes[0].title, QApplication::applicationDisplayName());
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("The terminal did not answer within 5 seconds."));
    EXPECT_TRUE(normalWhileBoxShown);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    ASSERT_FALSE(update.empty());
    EXPECT_EQ(update.back(), "WriteOption(1, GTZ102, ::::)");
    EXPECT_EQ(logLines(), (afterConnect + QStringList { QStringLiteral("Updating...") }));
    EXPECT_EQ(stage(), 1);
    EXPECT_EQ(caption(), QStringLiteral("Update"));
}
