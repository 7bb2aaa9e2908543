// The window's controls and defaults, the log, the address check, the
// Enable/Disable rule, the general error box and the start of the control.
#include "WindowFixture.h"

#include "TCTermLink.h"

#include <QAccessible>
#include <QLabel>
#include <QScrollBar>

#include <cstdlib>
#include <map>
#include <set>

namespace {

struct ControlRow {
    const char* name;
    const char* caption; // text, title or field default
    bool checked;
    bool enabled;
    bool visible;
    bool bold;
};

const ControlRow kControls[] = {
    { "edtIP", "192.168.1.201", false, true, true, false },
    { "edtKey", "0", false, true, true, false },
    { "rbtnEnable", "Enable Force Open/Close", true, true, true, true },
    { "rbtnDisable", "Disable Force Open/Close", false, true, true, true },
    { "btnUpdate", "Connect", false, true, true, true },
    { "gbTZ", " Setting ", false, true, true, false },
    { "rbtnOpen", "Force Open", true, true, true, true },
    { "rbtnClose", "Force Close", false, true, true, true },
    { "tz2", "Time Zone 2", false, true, true, true },
    { "tz3", "Time Zone 3", false, true, true, true },
    { "tz4", "Time Zone 4", false, true, true, true },
    { "tz5", "Time Zone 5", false, true, true, true },
    { "btnGetTZInfo", "Get TimeZone Info", false, true, false, false },
    { "btnSetTZInfo", "Set TimeZone Info", false, true, false, false },
    { "btnGetGroup", "Get Group TZ", false, true, false, false },
    { "btnSetGroup", "Set Group TZ", false, true, false, false },
    { "Memo1", "", false, true, true, false },
};

const char* const kHiddenButtons[] = { "btnGetTZInfo", "btnSetTZInfo", "btnGetGroup", "btnSetGroup" };

QString captionOf(QWidget* widget)
{
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    if (auto* lineEdit = qobject_cast<QLineEdit*>(widget))
        return lineEdit->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget))
        return group->title();
    if (auto* memo = qobject_cast<QPlainTextEdit*>(widget))
        return memo->toPlainText();
    return QStringLiteral("<unknown kind>");
}

bool checkedOf(QWidget* widget)
{
    auto* button = qobject_cast<QAbstractButton*>(widget);
    return button && button->isChecked();
}

// What the Enable/Disable rule must keep: every child's value and own flag.
std::map<QString, QString> snapshot(QGroupBox* group)
{
    std::map<QString, QString> state;
    int unnamed = 0;
    for (QWidget* child : group->findChildren<QWidget*>()) {
        const QString name = child->objectName().isEmpty() ? QStringLiteral("#%1").arg(unnamed++) : child->objectName();
        state[name] = QStringLiteral("%1|%2|%3")
                          .arg(child->isEnabledTo(group))
                          .arg(checkedOf(child))
                          .arg(qobject_cast<QLineEdit*>(child) ? captionOf(child) : QString());
    }
    return state;
}

} // namespace

TEST_F(WindowTest, WindowIsFixedAndTitled)
{
    createWindow();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Latchwise"));
    EXPECT_EQ(window->objectName(), QStringLiteral("frmMain"));
    EXPECT_EQ(window->size(), QSize(700, 554));
    EXPECT_EQ(window->minimumSize(), QSize(700, 554));
    EXPECT_EQ(window->maximumSize(), QSize(700, 554));
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_EQ(window->font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(window->font().pointSize(), 8);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_FALSE(window->terminationRequested());
}

TEST_F(WindowTest, ControlsHaveTheirCaptionsAndDefaults)
{
    createWindow();
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(row.name);
        auto* widget = child<QWidget>(QString::fromLatin1(row.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(captionOf(widget), QString::fromLatin1(row.caption));
        EXPECT_EQ(checkedOf(widget), row.checked);
        EXPECT_EQ(widget->isEnabled(), row.enabled);
        EXPECT_EQ(widget->isVisible(), row.visible);
        if (row.bold) {
            EXPECT_TRUE(widget->font().bold());
        }
    }
    EXPECT_EQ(window->buttonStage(), 0);
    EXPECT_TRUE(window->lockFunValue().isEmpty());
    auto* memo = child<QPlainTextEdit>(QStringLiteral("Memo1"));
    EXPECT_FALSE(memo->isReadOnly());
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    for (int zone = 2; zone <= 5; ++zone)
        EXPECT_TRUE(window->tzText(zone).isEmpty()) << zone;

    const char* const days[] = { "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday" };
    for (int day = 0; day < 7; ++day) {
        SCOPED_TRACE(days[day]);
        QLabel* label = nullptr;
        for (QLabel* candidate : child<QGroupBox>(QStringLiteral("gbTZ"))->findChildren<QLabel*>()) {
            if (candidate->text() == QString::fromLatin1(days[day]))
                label = candidate;
        }
        ASSERT_NE(label, nullptr);
        EXPECT_TRUE(label->alignment().testFlag(Qt::AlignRight));
        EXPECT_EQ(label->y(), 80 + 24 * day);
        EXPECT_LT(label->geometry().right(), 88);
    }
}

TEST_F(WindowTest, GridFieldsStartWithTheirDefaults)
{
    createWindow(false); // before any restore
    for (int day = 0; day < 7; ++day) {
        for (int column = 1; column <= 10; ++column) {
            QLineEdit* f = field(day, column);
            ASSERT_NE(f, nullptr);
            SCOPED_TRACE(f->objectName().toStdString());
            QString expected = QStringLiteral("0000");
            if (column == 1)
                expected = day == 0 ? QStringLiteral("2359") : QStringLiteral("0900");
            else if (column == 2)
                expected = day == 0 ? QStringLiteral("0000") : QStringLiteral("1800");
            EXPECT_EQ(f->text(), expected);
            EXPECT_EQ(f->isEnabled(), column <= 2);
            EXPECT_EQ(f->palette().color(QPalette::Active, QPalette::Text), QColor(Qt::blue));
        }
    }
}

TEST_F(WindowTest, LayoutFollowsTheGrid)
{
    createWindow();
    const int columnX[] = { 88, 144, 208, 264, 328, 384, 448, 504, 568, 624 };
    auto* group = child<QGroupBox>(QStringLiteral("gbTZ"));
    auto* memo = child<QPlainTextEdit>(QStringLiteral("Memo1"));

    // The group sits on the memo, both full width, the memo at the bottom.
    EXPECT_EQ(memo->geometry(), QRect(0, 554 - 239, 700, 239));
    EXPECT_EQ(group->geometry(), QRect(0, 554 - 239 - 259, 700, 259));
    EXPECT_EQ(updateButton()->size(), QSize(137, 45));
    EXPECT_LE(updateButton()->geometry().bottom(), group->y());

    for (int day = 0; day < 7; ++day) {
        for (int column = 1; column <= 10; ++column) {
            QLineEdit* f = field(day, column);
            SCOPED_TRACE(f->objectName().toStdString());
            EXPECT_EQ(f->parentWidget(), group);
            EXPECT_EQ(f->geometry(), QRect(columnX[column - 1], 80 + 24 * day, 40, 21));
        }
    }
    for (int zone = 2; zone <= 5; ++zone) {
        SCOPED_TRACE(zone);
        EXPECT_EQ(box(zone)->parentWidget(), group);
        EXPECT_EQ(box(zone)->pos(), QPoint(columnX[2 * zone - 2], 56));
    }

    // A bold "---" between start and end of each zone in every row.
    const int dashX[] = { 128, 248, 368, 488, 608 };
    std::set<std::pair<int, int>> dashes;
    for (QLabel* label : group->findChildren<QLabel*>()) {
        if (label->text() == QStringLiteral("---")) {
            EXPECT_TRUE(label->font().bold());
            dashes.insert({ label->x(), label->y() });
        }
    }
    EXPECT_EQ(dashes.size(), 35u);
    for (int day = 0; day < 7; ++day) {
        for (int x : dashX)
            EXPECT_EQ(dashes.count({ x, 80 + 24 * day }), 1u) << x << "," << day;
    }
}

TEST_F(WindowTest, TabOrderRunsFromTheAddressToTheLog)
{
    createWindow();
    QStringList expected { QStringLiteral("edtIP"), QStringLiteral("edtKey"), QStringLiteral("rbtnEnable"),
        QStringLiteral("rbtnDisable"), QStringLiteral("btnUpdate"), QStringLiteral("rbtnOpen"),
        QStringLiteral("rbtnClose") };
    for (int zone = 1; zone <= 5; ++zone) {
        if (zone > 1)
            expected << QStringLiteral("tz%1").arg(zone);
        for (QLineEdit* f : zoneFields(zone))
            expected << f->objectName();
    }
    expected << QStringLiteral("Memo1");

    // Every visible control that takes the focus by Tab, in chain order.
    QStringList walked;
    QWidget* start = edit("edtIP");
    QWidget* w = start;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(window.get()) && w->window() == window.get()
            && !w->objectName().isEmpty() && !w->objectName().startsWith(QStringLiteral("qt_")))
            walked << w->objectName();
        w = w->nextInFocusChain();
    } while (w && w != start);
    EXPECT_EQ(walked, expected);
}

TEST_F(WindowTest, AccessibleNamesAreStable)
{
    createWindow();
    EXPECT_EQ(edit("edtIP")->accessibleName(), QStringLiteral("IP"));
    EXPECT_EQ(edit("edtKey")->accessibleName(), QStringLiteral("Key"));
    EXPECT_EQ(child<QPlainTextEdit>(QStringLiteral("Memo1"))->accessibleName(), QStringLiteral("Log"));

    const char* const days[] = { "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday" };
    QSet<QString> seen;
    for (int day = 0; day < 7; ++day) {
        for (int column = 1; column <= 10; ++column) {
            const QString expected = QStringLiteral("%1 %2, Time Zone %3")
                                         .arg(QString::fromLatin1(days[day]))
                                         .arg(column % 2 ? QStringLiteral("start") : QStringLiteral("end"))
                                         .arg((column + 1) / 2);
            EXPECT_EQ(field(day, column)->accessibleName(), expected);
            seen.insert(field(day, column)->accessibleName());
        }
    }
    EXPECT_EQ(seen.size(), 70);
    EXPECT_TRUE(seen.contains(QStringLiteral("Monday start, Time Zone 1")));
    EXPECT_TRUE(seen.contains(QStringLiteral("Saturday end, Time Zone 5")));
}

TEST_F(WindowTest, HiddenButtonsAreNeverShown)
{
    createWindow();
    const auto expectHidden = [this](const char* when) {
        for (const char* name : kHiddenButtons)
            EXPECT_FALSE(button(name)->isVisible()) << name << " " << when;
    };
    expectHidden("after show");
    clickIndicator(child<QRadioButton>(QStringLiteral("rbtnDisable")));
    clickIndicator(child<QRadioButton>(QStringLiteral("rbtnEnable")));
    expectHidden("after Disable and Enable");
    button("btnGetTZInfo")->click();
    window->ReadPreviousTZ();
    expectHidden("after reading and restoring time zones");
    edit("edtIP")->setText(QStringLiteral("127.0.0.1"));
    clickUpdate();
    ASSERT_EQ(window->buttonStage(), 1);
    expectHidden("after Connect");
}

TEST_F(WindowTest, AddInfoAppendsOneLineEachEmptyOnesToo)
{
    createWindow();
    window->AddInfo(QString());
    window->AddInfo(QStringLiteral("first"));
    window->AddInfo(QString());
    window->AddInfo(QStringLiteral("last"));
    EXPECT_EQ(child<QPlainTextEdit>(QStringLiteral("Memo1"))->toPlainText(), QStringLiteral("\nfirst\n\nlast"));
    EXPECT_EQ(child<QPlainTextEdit>(QStringLiteral("Memo1"))->blockCount(), 4);

    // After the log is cleared the first line is taken again.
    child<QPlainTextEdit>(QStringLiteral("Memo1"))->clear();
    window->AddInfo(QStringLiteral("after clear"));
    EXPECT_EQ(logLines(), QStringList { QStringLiteral("after clear") });
    child<QPlainTextEdit>(QStringLiteral("Memo1"))->clear();
    window->AddInfo(QString());
    window->AddInfo(QString());
    window->AddInfo(QStringLiteral("third"));
    EXPECT_EQ(logLines(), (QStringList { QString(), QString(), QStringLiteral("third") }));
}

TEST_F(WindowTest, EmptyAddressStopsEveryStageWithOneBox)
{
    createWindow();
    auto* ip = edit("edtIP");
    // Reach each stage with a loopback address, then clear the field.
    for (int stage = 0; stage <= 2; ++stage) {
        SCOPED_TRACE(stage);
        if (stage > 0) {
            ip->setText(QStringLiteral("127.0.0.1"));
            clickUpdate();
            ASSERT_TRUE(boxes.boxes.size() <= 1);
            boxes.boxes.clear();
            ASSERT_EQ(window->buttonStage(), stage);
        }
        ip->clear();
        const QStringList logBefore = logLines();
        const QString sun1Before = field(0, 1)->text();
        link->clearCalls();
        storeWrites.clear();

        for (int press = 0; press < 2; ++press) {
            clickUpdate();
            ASSERT_EQ(boxes.boxes.size(), static_cast<std::size_t>(press + 1));
            EXPECT_EQ(boxes.boxes.back().kind, IMessageBoxes::Kind::Error);
            EXPECT_EQ(boxes.boxes.back().title, QStringLiteral("Error"));
            EXPECT_EQ(boxes.boxes.back().text, QStringLiteral("IP cannot be blank! "));
        }
        EXPECT_TRUE(link->calls().empty());
        EXPECT_TRUE(storeWrites.empty());
        EXPECT_EQ(window->buttonStage(), stage);
        EXPECT_EQ(updateButton()->text(),
            (QStringList { QStringLiteral("Connect"), QStringLiteral("Update"), QStringLiteral("Restart") })[stage]);
        EXPECT_EQ(logLines(), logBefore);
        EXPECT_EQ(field(0, 1)->text(), sun1Before);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        boxes.boxes.clear();
    }
}

TEST_F(WindowTest, AddressFieldTakesOnlyADottedAddress)
{
    createWindow();
    auto* ip = edit("edtIP");
    struct Row {
        const char* name;
        const char* before;
        const char* typed;
        const char* after;
    };
    const Row rows[] = {
        { "loopback", "", "127.0.0.2", "127.0.0.2" },
        { "letters refused", "", "abc", "" },
        { "letters among digits", "", "1a2.b3", "12.3" },
        { "fifth octet refused", "10.0.0.1", ".", "10.0.0.1" },
        { "octet over 255", "", "256", "25" },
        { "four digits in an octet", "", "1234", "123" },
        { "blank refused", "", "1 2", "12" },
        { "incomplete address kept", "", "10.0.", "10.0." },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ip->setText(QString::fromLatin1(row.before));
        ip->setFocus();
        ip->end(false);
        QTest::keyClicks(ip, QString::fromLatin1(row.typed));
        EXPECT_EQ(ip->text(), QString::fromLatin1(row.after));
    }

    // Cleared by the user: the text is empty, and only that fails the check.
    ip->setText(QStringLiteral("192.168.1.201"));
    ip->setFocus();
    ip->selectAll();
    QTest::keyClick(ip, Qt::Key_Backspace);
    EXPECT_EQ(ip->text(), QString());
    EXPECT_FALSE(window->Validation());
    ip->setText(QStringLiteral("1."));
    EXPECT_TRUE(window->Validation());
    ASSERT_EQ(boxes.boxes.size(), 1u);
}

TEST_F(WindowTest, DisableKeepsEveryControlOfTheGroupAsItWas)
{
    createWindow();
    auto* group = child<QGroupBox>(QStringLiteral("gbTZ"));
    // A state off the defaults: zones 2 and 3 on, Force Close, some texts,
    // and a zone box disabled as Connect does for some terminals.
    clickIndicator(box(2));
    clickIndicator(box(3));
    box(5)->setEnabled(false);
    clickIndicator(child<QRadioButton>(QStringLiteral("rbtnClose")));
    field(2, 5)->setText(QStringLiteral("0715"));
    field(6, 10)->setText(QStringLiteral("x"));
    const auto before = snapshot(group);
    ASSERT_TRUE(field(2, 5)->isEnabled());
    ASSERT_FALSE(field(2, 7)->isEnabled());

    clickIndicator(child<QRadioButton>(QStringLiteral("rbtnDisable")));
    EXPECT_FALSE(group->isEnabled());
    for (QWidget* w : group->findChildren<QWidget*>())
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(snapshot(group), before);

    clickIndicator(child<QRadioButton>(QStringLiteral("rbtnEnable")));
    EXPECT_TRUE(group->isEnabled());
    EXPECT_EQ(snapshot(group), before);
    EXPECT_TRUE(field(2, 5)->isEnabled());
    EXPECT_FALSE(field(2, 7)->isEnabled());
    EXPECT_FALSE(box(5)->isEnabled());

    // The handlers themselves follow the selection, whichever one is called.
    child<QRadioButton>(QStringLiteral("rbtnDisable"))->setChecked(true);
    window->rbtnEnableClick();
    EXPECT_FALSE(group->isEnabled());
    window->rbtnDisableClick();
    EXPECT_FALSE(group->isEnabled());
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(ErrorBoxText, FullStopAfterACharacterSortingAboveIt)
{
    struct Row {
        const char* message;
        const char* shown;
    };
    const Row rows[] = {
        { "abc", "abc." },
        { "x)", "x)" },
        { "x.", "x." },
        { "", "" },
        { "Failed to create key Tervalo", "Failed to create key Tervalo." },
        { "Invalid data type for '50'", "Invalid data type for '50'" }, // the quote sorts below "."
        { "ends in a digit 9", "ends in a digit 9." },
        { "slash/", "slash/." },
        { "dash-", "dash-" },
        { "comma,", "comma," },
        { "bang!", "bang!" },
        { "blank ", "blank " },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(TfrmMain::errorBoxText(QString::fromLatin1(row.message)), QString::fromLatin1(row.shown));
    }
}

TEST_F(WindowTest, GeneralErrorBoxShowsWhatAHandlerRaised)
{
    createWindow();
    struct Row {
        const char* name;
        std::function<void()> act;
        const char* shown;
    };
    const Row rows[] = {
        { "control's own text",
            [this] {
                link->once("ReadTimeZone", RecordingTermLink::Answer::error(kEFail, u"abc"));
                button("btnGetTZInfo")->click();
            },
            "abc." },
        { "text ending in a bracket",
            [this] {
                link->once("ReadTimeZone", RecordingTermLink::Answer::error(kEFail, u"x)"));
                button("btnGetTZInfo")->click();
            },
            "x)" },
        { "status code only",
            [this] {
                link->once("ReadTimeZone", RecordingTermLink::Answer::error(kEFail));
                button("btnGetTZInfo")->click();
            },
            "OLE error 80004005." },
        { "text ending in a full stop", [this] { window->guarded([] { throw std::runtime_error("x."); }); }, "x." },
        { "empty text", [this] { window->guarded([] { throw std::runtime_error(""); }); }, "" },
        { "key not a number",
            [this] {
                edit("edtIP")->setText(QStringLiteral("127.0.0.1"));
                edit("edtKey")->setText(QStringLiteral("12ab"));
                clickUpdate();
            },
            "'12ab' is not a valid integer value." },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        boxes.boxes.clear();
        row.act();
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, IMessageBoxes::Kind::Error);
        EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Latchwise"));
        EXPECT_EQ(boxes.boxes[0].text, QString::fromLatin1(row.shown));
    }
    // The window keeps going.
    EXPECT_EQ(window->buttonStage(), 0);
}

TEST_F(WindowTest, StoreFailureReachesTheGeneralErrorBox)
{
    // A store file that is someone else's database: every write fails.
    {
        QFile file(QString::fromStdString(storePath().string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("this is not a database, and it is not ours to overwrite\n");
    }
    createWindow();
    ASSERT_TRUE(boxes.boxes.empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    button("btnSetTZInfo")->click();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Latchwise"));
    // The store's text, then which file and why on a line of its own.
    EXPECT_EQ(boxes.boxes[0].text,
        QStringLiteral("Failed to create key Tervalo.\n") + QString::fromStdString(storePath().string())
            + QStringLiteral(": not a settings database"));
    // Zone 1 reached the terminal before the store refused it.
    EXPECT_EQ(link->callsOf("WriteTimeZone").size(), 1u);
}

TEST_F(WindowTest, BusyCursorIsGoneWhenTheErrorBoxShows)
{
    createWindow();
    edit("edtIP")->setText(QStringLiteral("127.0.0.1"));
    clickUpdate();
    ASSERT_EQ(window->buttonStage(), 1);
    link->on("WriteOption", "OpenCloseExtOn", RecordingTermLink::Answer::error(kEFail, u"Write refused"));
    bool cursorAtBox = true;
    boxes.onShow = [&](const RecordingMessageBoxes::Box&) { cursorAtBox = QApplication::overrideCursor() != nullptr; };
    clickUpdate();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Write refused."));
    EXPECT_FALSE(cursorAtBox);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(logLines().contains(QStringLiteral("Updating...")));
}

TEST_F(WindowTest, ControlThatCannotBeCreatedEndsTheProgramAfterTheRestore)
{
    seed("50", "11112222333344445555666677778888999900001111222233334444");
    seed("TZ49", "1");
    seed("49", "00010002000300040005000600070008000900100011001200130014");
    factoryFailure = "Class not registered";
    QString sun1AtBox;
    boxes.onShow = [&](const RecordingMessageBoxes::Box&) { sun1AtBox = field(0, 1)->text(); };
    createWindow();

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, IMessageBoxes::Kind::Error);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Error"));
    EXPECT_EQ(
        boxes.boxes[0].text, QStringLiteral("SDK Error : -Class not registered\r\nApplication will be terminated."));
    EXPECT_EQ(sun1AtBox, QStringLiteral("2359")) << "the restore ran before the box";
    EXPECT_TRUE(window->terminationRequested());
    EXPECT_EQ(window->termLink(), nullptr);
    // The restore still ran.
    EXPECT_EQ(joined(1), QStringLiteral("11112222333344445555666677778888999900001111222233334444"));
    EXPECT_TRUE(box(2)->isChecked());
    EXPECT_EQ(joined(2), QStringLiteral("00010002000300040005000600070008000900100011001200130014"));
}

TEST_F(WindowTest, ControlLibraryReasonsReachTheSdkErrorBox)
{
    struct Row {
        const char* name;
        std::filesystem::path library;
        const char* failEnv;
        QString reasonHas;
    };
    const std::filesystem::path missing = storePath().parent_path() / "libtermlink.so";
    const Row rows[] = {
        { "missing library", missing, nullptr, QString::fromStdString(missing.string()) },
        { "failing factory", RECORDING_MODULE, "Licence file not found", QStringLiteral("Licence file not found") },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.failEnv)
            ::setenv("LATCHWISE_RECORDING_FAIL", row.failEnv, 1);
        boxes.boxes.clear();
        const std::filesystem::path library = row.library;
        customFactory = [library] { return createTermLinkFromLibrary(library); };
        createWindow();
        ::unsetenv("LATCHWISE_RECORDING_FAIL");

        ASSERT_EQ(boxes.boxes.size(), 1u);
        const QString text = boxes.boxes[0].text;
        EXPECT_TRUE(text.startsWith(QStringLiteral("SDK Error : -"))) << text.toStdString();
        EXPECT_TRUE(text.contains(row.reasonHas)) << text.toStdString();
        EXPECT_TRUE(text.endsWith(QStringLiteral("\r\nApplication will be terminated."))) << text.toStdString();
        EXPECT_TRUE(window->terminationRequested());
        // Defaults restored all the same: zone 1 all day.
        EXPECT_EQ(field(0, 1)->text(), QStringLiteral("0000"));
        EXPECT_EQ(field(0, 2)->text(), QStringLiteral("2359"));
        window.reset();
    }

    // The real library loads and the window goes on.
    boxes.boxes.clear();
    customFactory = [] { return createTermLinkFromLibrary(RECORDING_MODULE); };
    createWindow();
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_FALSE(window->terminationRequested());
    ASSERT_NE(window->termLink(), nullptr);
    std::u16string version;
    EXPECT_TRUE(window->termLink()->ReadSdkVersion(version));
}
