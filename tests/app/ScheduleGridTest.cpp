// The grid's behaviour in the window: when fields normalise, the user's
// four-character limit, and the zone check boxes' guard and cascade.
#include "WindowFixture.h"

#include <QClipboard>
#include <QSignalSpy>

namespace {

// Notes, in order, each grid field's enabling and disabling and each zone
// box handler's end, so the nesting of the handlers can be read off.
class EffectLog : public QObject {
public:
    void watchField(QLineEdit* field) { field->installEventFilter(this); }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::EnabledChange) {
            auto* w = static_cast<QWidget*>(watched);
            entries << w->objectName() + (w->isEnabled() ? QStringLiteral(" on") : QStringLiteral(" off"));
        }
        return false;
    }

    QStringList entries;
};

QStringList fieldEffects(const std::vector<QLineEdit*>& fields, const char* state)
{
    QStringList out;
    for (QLineEdit* f : fields)
        out << f->objectName() + QLatin1Char(' ') + QString::fromLatin1(state);
    return out;
}

} // namespace

class GridTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        createWindow();
        ASSERT_TRUE(boxes.boxes.empty());
    }

    // Moves the keyboard focus away with a real click on another field.
    void leaveByClickOn(QLineEdit* other) { QTest::mouseClick(other, Qt::LeftButton); }

    void typeInto(QLineEdit* f, const QString& text)
    {
        QTest::mouseClick(f, Qt::LeftButton);
        f->selectAll();
        QTest::keyClick(f, Qt::Key_Delete);
        QTest::keyClicks(f, text);
    }

    // Ticks boxes the way the user would, one after another.
    void tick(std::initializer_list<int> zones)
    {
        for (int zone : zones)
            box(zone)->setChecked(true);
    }

    void expectZones(std::array<bool, 4> ticked, const char* when)
    {
        for (int zone = 2; zone <= 5; ++zone) {
            const bool on = ticked[static_cast<std::size_t>(zone - 2)];
            EXPECT_EQ(box(zone)->isChecked(), on) << "tz" << zone << " " << when;
            for (QLineEdit* f : zoneFields(zone))
                EXPECT_EQ(f->isEnabled(), on) << f->objectName().toStdString() << " " << when;
        }
        for (QLineEdit* f : zoneFields(1))
            EXPECT_TRUE(f->isEnabled()) << f->objectName().toStdString() << " " << when;
    }
};

TEST_F(GridTest, Mon1NormalisesAsItIsTyped)
{
    QLineEdit* mon1 = field(1, 1);
    QSignalSpy changes(mon1, &QLineEdit::textChanged);
    typeInto(mon1, QStringLiteral("7"));
    EXPECT_EQ(mon1->text(), QStringLiteral("0700"));
    // Emptied, then "7", then the one write of the handler; its nested run
    // finds nothing to change.
    EXPECT_EQ(changes.count(), 3);

    // Full now: further typing is refused by the limit.
    QTest::keyClicks(mon1, QStringLiteral("85"));
    EXPECT_EQ(mon1->text(), QStringLiteral("0700"));

    // Two characters typed one by one: the first is already padded.
    typeInto(mon1, QStringLiteral("18"));
    EXPECT_EQ(mon1->text(), QStringLiteral("0100"));

    // A blank typed first: the handler puts in five characters, and the user
    // still may not lengthen them.
    typeInto(mon1, QStringLiteral(" 9"));
    EXPECT_EQ(mon1->text(), QStringLiteral("0 900"));
    QTest::keyClicks(mon1, QStringLiteral("1"));
    EXPECT_EQ(mon1->text(), QStringLiteral("0 900"));
    QTest::keyClick(mon1, Qt::Key_Backspace);
    EXPECT_EQ(mon1->text(), QStringLiteral("0 90"));

    // Text put in by the program passes the same way; four characters stay.
    struct Row {
        const char* set;
        const char* shown;
    };
    const Row rows[] = { { "9", "0900" }, { "18", "1800" }, { "930", "0930" }, { "2359", "2359" }, { "0 900", "0 900" },
        { "", "" } };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.set);
        mon1->setText(QString::fromLatin1(row.set));
        EXPECT_EQ(mon1->text(), QString::fromLatin1(row.shown));
    }
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(GridTest, OtherFieldsNormaliseWhenTheFocusLeaves)
{
    tick({ 2, 3, 4, 5 });
    struct Row {
        int day;
        int column;
        const char* typed;
        const char* shown;
    };
    const Row rows[] = {
        { 2, 1, "7", "0700" }, // tue1
        { 0, 1, "18", "1800" }, // sun1
        { 1, 2, "930", "0930" }, // mon2
        { 6, 10, "ab", "ab00" }, // sat10
        { 3, 6, " 9", "0 900" }, // wed6: padding goes around the blank
        { 4, 4, "1234", "1234" },
        { 5, 7, "", "" },
    };
    for (const Row& row : rows) {
        QLineEdit* f = field(row.day, row.column);
        SCOPED_TRACE(f->objectName().toStdString());
        typeInto(f, QString::fromLatin1(row.typed));
        EXPECT_EQ(f->text(), QString::fromLatin1(row.typed)) << "normalised before leaving";

        // Switching to another window is not leaving the field.
        QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QApplication::sendEvent(f, &away);
        EXPECT_EQ(f->text(), QString::fromLatin1(row.typed));

        QSignalSpy changes(f, &QLineEdit::textChanged);
        leaveByClickOn(field(row.day == 0 ? 1 : 0, 2));
        EXPECT_EQ(f->text(), QString::fromLatin1(row.shown));
        // Written once when it differs, not at all when it does not.
        EXPECT_EQ(changes.count(), row.typed == std::string(row.shown) ? 0 : 1);
    }

    // Leaving by the keyboard counts too.
    QLineEdit* thu3 = field(4, 3);
    typeInto(thu3, QStringLiteral("6"));
    QTest::keyClick(thu3, Qt::Key_Tab);
    EXPECT_EQ(thu3->text(), QStringLiteral("0600"));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(GridTest, UpdateButtonTakesTheFocusBeforeItActs)
{
    edit("edtIP")->setText(QStringLiteral("127.0.0.1"));
    clickUpdate();
    ASSERT_EQ(window->buttonStage(), 1);
    link->clearCalls();

    QLineEdit* tue1 = field(2, 1);
    typeInto(tue1, QStringLiteral("7"));
    ASSERT_EQ(tue1->text(), QStringLiteral("7"));
    clickUpdate();
    const auto writes = link->callsOf("WriteTimeZone");
    ASSERT_FALSE(writes.empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    // Zone 1's text carries tue1 at characters 17-20.
    const std::string expectedZone1 = joined(1).toStdString();
    EXPECT_EQ(expectedZone1.substr(16, 4), "0700");
    EXPECT_EQ(writes.front(), "WriteTimeZone(1, 50, " + expectedZone1 + ")");
    EXPECT_EQ(stored("50"), expectedZone1);
    EXPECT_EQ(window->buttonStage(), 2);
}

TEST_F(GridTest, UserMayNotTypeOrPastePastFourCharacters)
{
    tick({ 2 });
    QLineEdit* f = field(3, 3); // wed3
    typeInto(f, QStringLiteral("123456"));
    EXPECT_EQ(f->text(), QStringLiteral("1234"));

    // Replacing a selection by something shorter is fine.
    f->selectAll();
    QTest::keyClicks(f, QStringLiteral("7"));
    EXPECT_EQ(f->text(), QStringLiteral("7"));

    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("123456"));
    f->setText(QStringLiteral("0000"));
    f->setFocus();
    f->selectAll();
    QTest::keyClick(f, Qt::Key_V, Qt::ControlModifier);
    EXPECT_LE(f->text().size(), 4) << f->text().toStdString();

    clipboard->setText(QStringLiteral("12"));
    f->clear();
    QTest::keyClick(f, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(f->text(), QStringLiteral("12"));
    clipboard->setText(QStringLiteral("345"));
    f->end(false);
    QTest::keyClick(f, Qt::Key_V, Qt::ControlModifier);
    EXPECT_LE(f->text().size(), 4) << f->text().toStdString();
    EXPECT_TRUE(f->text().startsWith(QStringLiteral("12")));
}

TEST_F(GridTest, ProgramMayPutInLongerTexts)
{
    tick({ 2 });
    QLineEdit* f = field(3, 3);
    f->setText(QStringLiteral("0 900"));
    EXPECT_EQ(f->text(), QStringLiteral("0 900"));
    f->setText(QStringLiteral("00002359"));
    EXPECT_EQ(f->text(), QStringLiteral("00002359"));

    // The user still may not lengthen it, but may shorten it.
    f->setText(QStringLiteral("0 900"));
    f->setFocus();
    f->end(false);
    QTest::keyClicks(f, QStringLiteral("1"));
    EXPECT_EQ(f->text(), QStringLiteral("0 900"));
    QTest::keyClick(f, Qt::Key_Backspace);
    EXPECT_EQ(f->text(), QStringLiteral("0 90"));
    QTest::keyClicks(f, QStringLiteral("1"));
    EXPECT_EQ(f->text(), QStringLiteral("0 90"));
    QTest::keyClick(f, Qt::Key_Backspace);
    QTest::keyClicks(f, QStringLiteral("5"));
    EXPECT_EQ(f->text(), QStringLiteral("0 95"));
}

TEST_F(GridTest, ZoneBoxesFollowTheGuardAndTheCascade)
{
    struct Row {
        const char* name;
        std::initializer_list<int> ticked; // before, ticked in order
        int zone;
        bool tickIt;
        bool byMouse;
        std::array<bool, 4> after;
        const char* warning;
    };
    const Row rows[] = {
        { "tick 2", {}, 2, true, true, { true, false, false, false }, nullptr },
        { "tick 3 after 2", { 2 }, 3, true, true, { true, true, false, false }, nullptr },
        { "tick 5 after 2-4", { 2, 3, 4 }, 5, true, false, { true, true, true, true }, nullptr },
        { "tick 3 without 2", {}, 3, true, true, { false, false, false, false },
            "Please enable the Time Zone 2 before enable the Time Zone 3." },
        { "tick 4 without 3", { 2 }, 4, true, true, { true, false, false, false },
            "Please enable the Time Zone 3 before enable the Time Zone 4." },
        { "tick 5 without 4", { 2, 3 }, 5, true, false, { true, true, false, false },
            "Please enable the Time Zone 4 before enable the Time Zone 5." },
        { "tick 5 alone", {}, 5, true, true, { false, false, false, false },
            "Please enable the Time Zone 4 before enable the Time Zone 5." },
        { "untick 2 of all", { 2, 3, 4, 5 }, 2, false, true, { false, false, false, false }, nullptr },
        { "untick 4 of all", { 2, 3, 4, 5 }, 4, false, false, { true, true, false, false }, nullptr },
        { "untick 5 of all", { 2, 3, 4, 5 }, 5, false, true, { true, true, true, false }, nullptr },
        { "untick 3 of 2-3", { 2, 3 }, 3, false, true, { true, false, false, false }, nullptr },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (int zone = 5; zone >= 2; --zone)
            box(zone)->setChecked(false);
        tick(row.ticked);
        ASSERT_TRUE(boxes.boxes.empty());
        for (int zone = 1; zone <= 5; ++zone)
            fillDistinct(zone);
        QStringList texts;
        for (int zone = 1; zone <= 5; ++zone)
            texts << joined(zone);

        if (row.byMouse)
            clickIndicator(box(row.zone));
        else
            box(row.zone)->setChecked(row.tickIt);

        expectZones(row.after, row.name);
        if (row.warning) {
            ASSERT_EQ(boxes.boxes.size(), 1u);
            EXPECT_EQ(boxes.boxes[0].kind, IMessageBoxes::Kind::Warning);
            EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Warning"));
            EXPECT_EQ(boxes.boxes[0].text, QString::fromLatin1(row.warning));
        } else {
            EXPECT_TRUE(boxes.boxes.empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
        }
        // Ticking or unticking never touches a text.
        for (int zone = 1; zone <= 5; ++zone)
            EXPECT_EQ(joined(zone), texts[zone - 1]) << zone;
        boxes.boxes.clear();
    }
}

TEST_F(GridTest, CascadeRunsNestedLaterZonesFirst)
{
    tick({ 2, 3, 4, 5 });
    EffectLog log;
    for (int zone = 2; zone <= 5; ++zone) {
        for (QLineEdit* f : zoneFields(zone))
            log.watchField(f);
        // Connected after the window's own handler, so this notes its end.
        QObject::connect(box(zone), &QCheckBox::toggled, &log,
            [&log, zone](bool on) { log.entries << QStringLiteral("tz%1Click done, ticked %2").arg(zone).arg(on); });
    }
    clickIndicator(box(2));

    QStringList expected;
    expected << fieldEffects(zoneFields(5), "off") << QStringLiteral("tz5Click done, ticked 0");
    expected << fieldEffects(zoneFields(4), "off") << QStringLiteral("tz4Click done, ticked 0");
    expected << fieldEffects(zoneFields(3), "off") << QStringLiteral("tz3Click done, ticked 0");
    expected << fieldEffects(zoneFields(2), "off") << QStringLiteral("tz2Click done, ticked 0");
    EXPECT_EQ(log.entries, expected);

    // A box already in the state asked for runs nothing.
    log.entries.clear();
    box(4)->setChecked(false);
    box(3)->setChecked(false);
    EXPECT_TRUE(log.entries.isEmpty()) << log.entries.join(QLatin1Char('|')).toStdString();

    // Unticking 2 with only 2 and 3 ticked leaves 4 and 5 alone.
    tick({ 2, 3 });
    log.entries.clear();
    box(2)->setChecked(false);
    expected.clear();
    expected << fieldEffects(zoneFields(3), "off") << QStringLiteral("tz3Click done, ticked 0");
    expected << fieldEffects(zoneFields(2), "off") << QStringLiteral("tz2Click done, ticked 0");
    EXPECT_EQ(log.entries, expected);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(GridTest, GuardUnticksThenWarnsThenStops)
{
    // Zone 3's fields enabled while neither box is ticked, a state only the
    // program can make: the guard's nested run visibly disables them.
    for (QLineEdit* f : zoneFields(3))
        f->setEnabled(true);
    EffectLog log;
    for (QLineEdit* f : zoneFields(3))
        log.watchField(f);
    QObject::connect(box(3), &QCheckBox::toggled, &log,
        [&log](bool on) { log.entries << QStringLiteral("tz3Click done, ticked %1").arg(on); });
    boxes.onShow = [&](const RecordingMessageBoxes::Box& shown) {
        log.entries << QStringLiteral("box ") + shown.text
                + QStringLiteral(" with tz3 ticked %1").arg(box(3)->isChecked());
    };

    clickIndicator(box(3));

    QStringList expected;
    expected << fieldEffects(zoneFields(3), "off") << QStringLiteral("tz3Click done, ticked 0")
             << QStringLiteral("box Please enable the Time Zone 2 before enable the Time Zone 3. with tz3 ticked 0")
             << QStringLiteral("tz3Click done, ticked 1");
    EXPECT_EQ(log.entries, expected);
    EXPECT_EQ(boxes.boxes.size(), 1u);
    expectZones({ false, false, false, false }, "after the guard");
}

TEST_F(GridTest, DisabledBoxKeepsItsTick)
{
    tick({ 2, 3 });
    box(3)->setEnabled(false);
    clickIndicator(box(3));
    EXPECT_TRUE(box(3)->isChecked());
    // The cascade reaches it all the same: the program may change it.
    box(2)->setChecked(false);
    EXPECT_FALSE(box(3)->isChecked());
    expectZones({ false, false, false, false }, "after the cascade");
}
