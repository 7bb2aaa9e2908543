#pragma once

#include "../app/WindowFixture.h"

#include "Edits.h"
#include "Schedule.h"
#include "TCTermLink.h"
#include "Utf8.h"

#include <QApplication>
#include <QCursor>

#include <optional>
#include <string>
#include <vector>

// The window over the scripted control, with the steps every workflow test
// takes: a terminal scripted to answer like a plain one, a loopback address
// typed in, and a grid filled with times that tell the fields apart.
class WorkflowTest : public WindowTest {
protected:
    using Answer = RecordingTermLink::Answer;
    using Calls = std::vector<std::string>;
    using Kind = IMessageBoxes::Kind;

    static constexpr const char* kIp = "127.0.0.1";

    void SetUp() override
    {
        WindowTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(freshWindow());
    }

    // A new window (and scripted control) over the same store, for table rows
    // that each need a window in its first state.
    void freshWindow()
    {
        link = nullptr;
        boxes.boxes.clear();
        boxes.onShow = nullptr;
        window.reset();
        // An empty store too, so nothing saved by an earlier row is restored.
        store = std::make_unique<SettingsStore>(
            storePath().parent_path() / ("hklm-" + std::to_string(++m_windows) + ".db"));
        ASSERT_NO_FATAL_FAILURE(createWindow());
        ASSERT_NE(link, nullptr);
        scriptIdentity();
        link->on("IsColorTerminal", Answer::value(false));
        edit("edtIP")->setText(QString::fromLatin1(kIp));
    }

    void scriptIdentity()
    {
        link->on("ReadFirmwareVersion", Answer::value(true, u"FW 2.4.1"));
        link->on("ReadProductName", Answer::value(true, u"TR-400"));
        link->on("ReadVendorName", Answer::value(true, u"Test Vendor"));
        link->on("ReadSerialNumber", Answer::value(true, u"SN0001"));
        link->on("ReadSdkVersion", Answer::value(true, u"3.0.0"));
        link->on("ReadOption", "~DeviceName", Answer::value(true, u"TR-400"));
    }

    // A colour terminal: "1" keeps the group method, anything else selects the
    // door options.
    void scriptColour(const std::u16string& permanentDoorColor)
    {
        link->on("IsColorTerminal", Answer::value(true));
        link->on("ReadOption", "PermanentDoorColor", Answer::value(true, permanentDoorColor));
    }

    QRadioButton* radio(const char* name) const { return child<QRadioButton>(QString::fromLatin1(name)); }
    int stage() const { return window->buttonStage(); }
    QString caption() const { return updateButton()->text(); }

    // Presses the button and returns the calls it made.
    Calls press()
    {
        link->clearCalls();
        clickUpdate();
        return link->calls();
    }

    // The recorded calls that start with `prefix`, e.g. "WriteOption(1, ~LockFunOn,".
    Calls callsStartingWith(const std::string& prefix) const
    {
        Calls out;
        for (const auto& call : link->calls()) {
            if (call.rfind(prefix, 0) == 0)
                out.push_back(call);
        }
        return out;
    }

    void connectOk()
    {
        ASSERT_EQ(stage(), 0);
        press();
        ASSERT_EQ(stage(), 1) << boxes.texts().join(QLatin1Char('|')).toStdString();
    }

    // Zone z's field for slot i (0..13) holds "zz" + two digits of i, so each
    // zone's week text is unique and each field can be found in it.
    static QString fieldTime(int zone, int slot)
    {
        return QStringLiteral("%1%2").arg(zone, 2, 10, QLatin1Char('0')).arg(slot, 2, 10, QLatin1Char('0'));
    }

    static std::string weekText(int zone)
    {
        std::string text;
        for (int slot = 0; slot < schedule::kFieldsPerZone; ++slot)
            text += fieldTime(zone, slot).toStdString();
        return text;
    }

    TimeEdit* field(int zone, int slot) const
    {
        const int day = slot / 2;
        return window->timeField(day, slot % 2 ? schedule::endColumn(zone) : schedule::startColumn(zone));
    }

    void fillGrid()
    {
        for (int zone = 1; zone <= schedule::kZones; ++zone) {
            for (int slot = 0; slot < schedule::kFieldsPerZone; ++slot)
                field(zone, slot)->setText(fieldTime(zone, slot));
        }
    }

    void tick(int highest)
    {
        for (int zone = 2; zone <= schedule::kZones; ++zone)
            box(zone)->setChecked(zone <= highest);
    }

    static std::string writeZone(int zone)
    {
        return "WriteTimeZone(1, " + std::to_string(schedule::terminalIndex(zone)) + ", " + weekText(zone) + ")";
    }

    // A value of SOFTWARE\Tervalo, or nullopt when it was never written.
    std::optional<std::string> stored(const std::string& ident) { return storedSetting(*store, ident); }

    static bool busyCursor()
    {
        const QCursor* cursor = QApplication::overrideCursor();
        return cursor && cursor->shape() == Qt::WaitCursor;
    }

    static bool normalCursor() { return QApplication::overrideCursor() == nullptr; }

    int m_windows = 0;

    void TearDown() override
    {
        // A cursor left busy would leak into the next test.
        EXPECT_TRUE(normalCursor());
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    }
};

inline const std::vector<std::string> kWiegandWrites { "WriteOption(1, WiegandOpen, 406218)",
    "WriteOption(1, WiegandClose, 591734)", "WriteOption(1, WiegandNormal, 827365)" };

inline std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}
