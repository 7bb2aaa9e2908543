// Time zones to and from the terminal and the saved schedule: the writing
// handler's order of terminal and store writes, the reading handler, and the
// restore at window show.
#include "WindowFixture.h"

#include <QFile>

#include <algorithm>
#include <map>

namespace {

const std::string kAllDay = "00002359000023590000235900002359000023590000235900002359";

std::string terminalWrite(int index, const QString& text)
{
    return "terminal WriteTimeZone(1, " + std::to_string(index) + ", " + text.toStdString() + ")";
}

std::string storeWrite(const std::string& name, const QString& value)
{
    return "store " + name + "=" + value.toStdString();
}

// A 56-character week text made of fourteen groups "<tag><i>" (i = 0..13),
// e.g. tag "a" gives "a000a001...".
QString weekText(char tag)
{
    QString text;
    for (int i = 0; i < 14; ++i)
        text += QLatin1Char(tag) + QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
    return text;
}

} // namespace

class TransferTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        createWindow();
        ASSERT_TRUE(boxes.boxes.empty());
        for (int zone = 1; zone <= 5; ++zone)
            fillDistinct(zone);
        link->clearCalls();
        storeWrites.clear();
    }

    // Sets the ticks exactly, without the handlers' guard and cascade.
    void setTicks(std::array<bool, 4> ticked)
    {
        for (int zone = 2; zone <= 5; ++zone) {
            const QSignalBlocker blocker(box(zone));
            box(zone)->setChecked(ticked[static_cast<std::size_t>(zone - 2)]);
        }
    }

    std::map<QString, bool> gridEnabled() const
    {
        std::map<QString, bool> enabled;
        for (int zone = 1; zone <= 5; ++zone) {
            for (QLineEdit* f : zoneFields(zone))
                enabled[f->objectName()] = f->isEnabled();
        }
        for (int zone = 2; zone <= 5; ++zone)
            enabled[box(zone)->objectName() + QStringLiteral(" ticked")] = box(zone)->isChecked();
        return enabled;
    }
};

TEST_F(TransferTest, WritesZoneOneAlwaysAndEachTickedZoneInOrder)
{
    struct Row {
        const char* name;
        std::array<bool, 4> ticked;
        std::array<bool, 4> boxEnabled;
    };
    const Row rows[] = {
        { "none ticked", { false, false, false, false }, { true, true, true, true } },
        { "zones 2 and 3", { true, true, false, false }, { true, true, true, true } },
        { "all zones", { true, true, true, true }, { true, true, true, true } },
        { "zone 3 without zone 2", { false, true, false, false }, { true, true, true, true } },
        { "zones 2 and 5 only", { true, false, false, true }, { true, true, true, true } },
        { "ticked but disabled boxes", { true, true, false, false }, { false, false, false, false } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Earlier texts of zones not written must survive.
        for (const char* name : { "49", "48", "47", "46" })
            seed(name, std::string("earlier ") + name);
        setTicks(row.ticked);
        for (int zone = 2; zone <= 5; ++zone)
            box(zone)->setEnabled(row.boxEnabled[static_cast<std::size_t>(zone - 2)]);
        // Each row gives the ticked zones new texts, so a stale TZnText shows.
        for (int zone = 2; zone <= 5; ++zone)
            zoneFields(zone)[0]->setText(QStringLiteral("r%1").arg(&row - rows));
        QStringList textsBefore;
        for (int zone = 2; zone <= 5; ++zone)
            textsBefore << window->tzText(zone);
        link->clearCalls();
        storeWrites.clear();

        button("btnSetTZInfo")->click();

        std::vector<std::string> expected { terminalWrite(50, joined(1)), storeWrite("50", joined(1)) };
        for (int zone = 2; zone <= 5; ++zone) {
            const std::string index = std::to_string(51 - zone);
            if (row.ticked[static_cast<std::size_t>(zone - 2)]) {
                expected.push_back(terminalWrite(51 - zone, joined(zone)));
                expected.push_back(storeWrite(index, joined(zone)));
                expected.push_back(storeWrite("TZ" + index, QStringLiteral("1")));
            } else {
                expected.push_back(storeWrite("TZ" + index, QStringLiteral("0")));
            }
        }
        EXPECT_EQ(effects(), expected);
        EXPECT_TRUE(boxes.boxes.empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();

        // The file holds what was written, and the untouched texts.
        EXPECT_EQ(stored("50"), joined(1).toStdString());
        for (int zone = 2; zone <= 5; ++zone) {
            const bool on = row.ticked[static_cast<std::size_t>(zone - 2)];
            const std::string index = std::to_string(51 - zone);
            EXPECT_EQ(stored("TZ" + index), on ? "1" : "0") << zone;
            EXPECT_EQ(stored(index), on ? joined(zone).toStdString() : "earlier " + index) << zone;
            EXPECT_EQ(window->tzText(zone), on ? joined(zone) : textsBefore[zone - 2]) << zone;
        }
    }
}

TEST_F(TransferTest, FailureStatusStopsWhereItHappensAndUndoesNothing)
{
    struct Row {
        int failingIndex;
        std::vector<std::string> storedNames; // present afterwards
        std::vector<int> indicesSent;
    };
    const Row rows[] = {
        { 50, {}, { 50 } },
        { 49, { "50" }, { 50, 49 } },
        { 48, { "50", "49", "TZ49" }, { 50, 49, 48 } },
        { 46, { "50", "49", "TZ49", "48", "TZ48", "47", "TZ47" }, { 50, 49, 48, 47, 46 } },
    };
    const std::vector<std::string> allNames { "50", "49", "TZ49", "48", "TZ48", "47", "TZ47", "46", "TZ46" };
    setTicks({ true, true, true, true });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.failingIndex);
        std::filesystem::remove(storePath());
        link->clearCalls();
        boxes.boxes.clear();
        link->once("WriteTimeZone", std::to_string(row.failingIndex),
            RecordingTermLink::Answer::error(kEFail, u"Terminal went away."));

        button("btnSetTZInfo")->click();

        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Latchwise"));
        EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Terminal went away."));
        std::vector<std::string> sent;
        for (int index : row.indicesSent)
            sent.push_back(terminalWrite(index, joined(51 - index)).substr(9));
        EXPECT_EQ(link->callsOf("WriteTimeZone"), sent);
        for (const std::string& name : allNames) {
            const bool expected
                = std::find(row.storedNames.begin(), row.storedNames.end(), name) != row.storedNames.end();
            EXPECT_EQ(stored(name).has_value(), expected) << name;
        }
    }
}

TEST_F(TransferTest, RefusedTerminalWritesStillReachTheStore)
{
    setTicks({ true, false, true, false });
    link->on("WriteTimeZone", RecordingTermLink::Answer::value(false));
    button("btnSetTZInfo")->click();
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(link->callsOf("WriteTimeZone").size(), 3u);
    std::vector<std::string> names;
    for (const auto& write : storeWrites)
        names.push_back(write.name + "=" + (write.name.rfind("TZ", 0) == 0 ? write.value : "text"));
    EXPECT_EQ(
        names, (std::vector<std::string> { "50=text", "49=text", "TZ49=1", "TZ48=0", "47=text", "TZ47=1", "TZ46=0" }));
    EXPECT_TRUE(logLines().isEmpty());
}

TEST_F(TransferTest, FieldsAreSentAsTheyStand)
{
    setTicks({ true, false, false, false });
    // Put in by the program, so no field was left and nothing normalised.
    field(2, 1)->setText(QStringLiteral("7")); // tue1
    field(0, 2)->clear(); // sun2
    field(6, 4)->setText(QStringLiteral("0 900")); // sat4
    button("btnSetTZInfo")->click();
    const QString zone1 = joined(1);
    const QString zone2 = joined(2);
    EXPECT_EQ(zone1.size(), 56 - 3 - 4);
    EXPECT_EQ(zone2.size(), 57);
    EXPECT_EQ(link->callsOf("WriteTimeZone"),
        (std::vector<std::string> { terminalWrite(50, zone1).substr(9), terminalWrite(49, zone2).substr(9) }));
    EXPECT_EQ(stored("50"), zone1.toStdString());
    EXPECT_EQ(stored("49"), zone2.toStdString());
    EXPECT_EQ(window->tzText(2), zone2);
    EXPECT_EQ(field(2, 1)->text(), QStringLiteral("7"));
}

TEST_F(TransferTest, ReadsEveryZoneIntoItsFieldsAndNothingElse)
{
    setTicks({ true, false, false, false });
    box(2)->setEnabled(false);
    const auto enabledBefore = gridEnabled();

    struct Row {
        const char* name;
        std::map<int, RecordingTermLink::Answer> answers; // by terminal index; others: false
        std::map<int, QString> expectedZoneText; // zones replaced
    };
    using A = RecordingTermLink::Answer;
    const QString longText = weekText('e') + QStringLiteral("XXXX");
    const Row rows[] = {
        { "all read",
            { { 50, A::value(true, weekText('a').toStdU16String()) },
                { 49, A::value(true, weekText('b').toStdU16String()) },
                { 48, A::value(true, weekText('c').toStdU16String()) },
                { 47, A::value(true, weekText('d').toStdU16String()) },
                { 46, A::value(true, longText.toStdU16String()) } },
            { { 1, weekText('a') }, { 2, weekText('b') }, { 3, weekText('c') }, { 4, weekText('d') },
                { 5, weekText('e') } } },
        { "zone 1 fails, the rest read",
            { { 49, A::value(true, weekText('b').toStdU16String()) },
                { 48, A::value(true, weekText('c').toStdU16String()) },
                { 47, A::value(true, weekText('d').toStdU16String()) },
                { 46, A::value(true, weekText('e').toStdU16String()) } },
            { { 2, weekText('b') }, { 3, weekText('c') }, { 4, weekText('d') }, { 5, weekText('e') } } },
        { "all false", {}, {} },
        { "all day, not times",
            { { 47, A::value(true, std::u16string(kAllDay.begin(), kAllDay.end())) },
                { 48, A::value(true, u"99:9ab  --------0000000000000000000000000000000000000000") } },
            { { 4, QString::fromStdString(kAllDay) },
                { 3, QStringLiteral("99:9ab  --------0000000000000000000000000000000000000000") } } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (int zone = 1; zone <= 5; ++zone)
            fillDistinct(zone);
        QStringList before;
        for (int zone = 1; zone <= 5; ++zone)
            before << joined(zone);
        link->clearCalls();
        link->on("ReadTimeZone", A::value(false, u"ignored: the result was false"));
        for (const auto& [index, answer] : row.answers)
            link->once("ReadTimeZone", std::to_string(index), answer);

        button("btnGetTZInfo")->click();

        EXPECT_EQ(link->calls(),
            (std::vector<std::string> { "ReadTimeZone(1, 50)", "ReadTimeZone(1, 49)", "ReadTimeZone(1, 48)",
                "ReadTimeZone(1, 47)", "ReadTimeZone(1, 46)" }));
        for (int zone = 1; zone <= 5; ++zone) {
            const auto it = row.expectedZoneText.find(zone);
            EXPECT_EQ(joined(zone), it != row.expectedZoneText.end() ? it->second : before[zone - 1]) << zone;
        }
        EXPECT_EQ(gridEnabled(), enabledBefore);
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_TRUE(storeWrites.empty());
        EXPECT_TRUE(logLines().isEmpty());
    }
}

TEST_F(TransferTest, ShortReadFillsOnlyWholeGroups)
{
    const QString before = joined(2);
    link->on("ReadTimeZone", RecordingTermLink::Answer::value(false));
    link->once("ReadTimeZone", "49", RecordingTermLink::Answer::value(true, u"11112222333"));
    button("btnGetTZInfo")->click();
    EXPECT_EQ(joined(2), QStringLiteral("11112222") + before.mid(8));
}

TEST_F(TransferTest, FailureStatusWhileReadingStopsTheLaterZones)
{
    const QString zone4Before = joined(4);
    const QString zone5Before = joined(5);
    link->on("ReadTimeZone", "50", RecordingTermLink::Answer::value(true, weekText('a').toStdU16String()));
    link->on("ReadTimeZone", "49", RecordingTermLink::Answer::value(true, weekText('b').toStdU16String()));
    link->on("ReadTimeZone", "48", RecordingTermLink::Answer::error(kEFail, u"Read failed"));
    link->on("ReadTimeZone", RecordingTermLink::Answer::value(true, weekText('z').toStdU16String()));
    const QString zone3Before = joined(3);

    button("btnGetTZInfo")->click();

    EXPECT_EQ(link->calls(),
        (std::vector<std::string> { "ReadTimeZone(1, 50)", "ReadTimeZone(1, 49)", "ReadTimeZone(1, 48)" }));
    EXPECT_EQ(joined(1), weekText('a'));
    EXPECT_EQ(joined(2), weekText('b'));
    EXPECT_EQ(joined(3), zone3Before);
    EXPECT_EQ(joined(4), zone4Before);
    EXPECT_EQ(joined(5), zone5Before);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Latchwise"));
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Read failed."));
}

// The restore at window show, against a real store file.
class RestoreTest : public WindowTest {
protected:
    void expectZone(int zone, const QString& text, bool ticked, bool enabled)
    {
        SCOPED_TRACE(zone);
        EXPECT_EQ(joined(zone), text);
        if (zone > 1) {
            EXPECT_EQ(box(zone)->isChecked(), ticked);
        }
        for (QLineEdit* f : zoneFields(zone))
            EXPECT_EQ(f->isEnabled(), enabled) << f->objectName().toStdString();
    }
    static QString builtIn(int zone)
    {
        if (zone == 1)
            return QStringLiteral("23590000") + QStringLiteral("09001800").repeated(6);
        return QStringLiteral("0000").repeated(14);
    }
};

TEST_F(RestoreTest, FirstRunShowsAllDayForZoneOneAndCreatesNothing)
{
    createWindow();
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_TRUE(logLines().isEmpty());
    expectZone(1, QString::fromStdString(kAllDay), false, true);
    for (int zone = 2; zone <= 5; ++zone)
        expectZone(zone, builtIn(zone), false, false);
    EXPECT_TRUE(storeWrites.empty());
    EXPECT_FALSE(std::filesystem::exists(storePath()));
}

TEST_F(RestoreTest, FlagsOfExactlyOneRestoreTheirZones)
{
    seed("50", weekText('a').toStdString());
    seed("49", weekText('b').toStdString());
    seed("TZ49", "1");
    seed("48", weekText('c').toStdString());
    seed("TZ48", "1");
    seed("47", weekText('d').toStdString());
    seed("TZ47", "0");
    seed("46", weekText('e').toStdString());
    seed("TZ46", "1"); // zone 4 off: the guard refuses zone 5
    createWindow();

    expectZone(1, weekText('a'), false, true);
    expectZone(2, weekText('b'), true, true);
    expectZone(3, weekText('c'), true, true);
    expectZone(4, builtIn(4), false, false);
    expectZone(5, weekText('e'), false, false);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Warning"));
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Please enable the Time Zone 4 before enable the Time Zone 5."));
}

TEST_F(RestoreTest, FlagsOtherThanExactlyOneLeaveTheZoneOff)
{
    for (const char* flag : { "01", " 1", "1 ", "true", "yes", "", "0" }) {
        SCOPED_TRACE(std::string("flag '") + flag + "'");
        seed("49", weekText('b').toStdString());
        seed("TZ49", flag);
        createWindow();
        EXPECT_TRUE(boxes.boxes.empty());
        expectZone(2, builtIn(2), false, false);
        window.reset();
    }
}

TEST_F(RestoreTest, SkippedZoneWarnsDuringShowYetGetsItsText)
{
    seed("TZ49", "0");
    seed("48", weekText('c').toStdString());
    seed("TZ48", "1");
    bool visibleAtBox = false;
    boxes.onShow = [&](const RecordingMessageBoxes::Box&) { visibleAtBox = window->isVisible(); };
    createWindow();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, IMessageBoxes::Kind::Warning);
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Please enable the Time Zone 2 before enable the Time Zone 3."));
    EXPECT_TRUE(visibleAtBox);
    expectZone(2, builtIn(2), false, false);
    expectZone(3, weekText('c'), false, false);
}

TEST_F(RestoreTest, TextsOfOtherLengths)
{
    seed("50", weekText('a').toStdString() + "EXTRA");
    seed("49", "1111222233");
    seed("TZ49", "1");
    seed("48", "");
    seed("TZ48", "1");
    createWindow();
    EXPECT_TRUE(boxes.boxes.empty());
    expectZone(1, weekText('a'), false, true);
    expectZone(2, QStringLiteral("11112222") + builtIn(2).mid(8), true, true);
    expectZone(3, builtIn(3), true, true);
}

TEST_F(RestoreTest, ValueOfAnotherTypeStopsTheRestore)
{
    seed("TZ49", "1");
    seed("49", weekText('b').toStdString());
    {
        SqliteRegistry registry(storePath());
        std::unique_ptr<RegistryKey> key;
        ASSERT_EQ(
            registry.createKey(registry.localMachine(), "SOFTWARE\\Tervalo", RegAccess::AllAccess, key), kErrorSuccess);
        const char dword[4] = { 0x2a, 0, 0, 0 };
        ASSERT_EQ(registry.setValue(*key, "50", kRegDword, std::string_view(dword, 4)), kErrorSuccess);
        registry.closeKey(std::move(key));
    }
    createWindow();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, IMessageBoxes::Kind::Error);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Latchwise"));
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Invalid data type for '50'"));
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->terminationRequested());
    for (int zone = 1; zone <= 5; ++zone)
        expectZone(zone, builtIn(zone), false, zone == 1);

    // The store was closed all the same: a write goes through.
    button("btnSetTZInfo")->click();
    EXPECT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(stored("TZ49"), "0");
}

TEST_F(RestoreTest, StoreThatIsNotADatabaseGivesTheDefaults)
{
    {
        QFile file(QString::fromStdString(storePath().string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, '\x5a'));
    }
    createWindow();
    EXPECT_TRUE(boxes.boxes.empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    expectZone(1, QString::fromStdString(kAllDay), false, true);
    for (int zone = 2; zone <= 5; ++zone)
        expectZone(zone, builtIn(zone), false, false);
    EXPECT_EQ(logLines(),
        QStringList { QStringLiteral("Saved schedule not read: ") + QString::fromStdString(storePath().string())
            + QStringLiteral(": not a settings database") });
    QFile file(QString::fromStdString(storePath().string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray(4096, '\x5a'));
}
