#pragma once

#include "MessageBoxes.h"
#include "RecordingRegistry.h"
#include "RecordingTermLink.h"
#include "Registry.h"
#include "SettingsStore.h"
#include "SqliteRegistry.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Records every message box instead of showing it. `onShow` runs while the
// box would be open, so a test can look at the window at that moment.
class RecordingMessageBoxes : public IMessageBoxes {
public:
    struct Box {
        Kind kind;
        QString title;
        QString text;
    };

    void show(QWidget*, Kind kind, const QString& title, const QString& text) override
    {
        boxes.push_back({ kind, title, text });
        if (onShow)
            onShow(boxes.back());
    }

    QStringList texts() const
    {
        QStringList out;
        for (const auto& box : boxes)
            out << box.text;
        return out;
    }

    std::vector<Box> boxes;
    std::function<void(const Box&)> onShow;
};

// A value of SOFTWARE\Tervalo in `store`, or nullopt when it was never written.
inline std::optional<std::string> storedSetting(SettingsStore& store, const std::string& name)
{
    static const std::string kNone = "\x01<none>";
    SettingsBracket bracket(store, kSettingsPath);
    const std::string value = store.ReadSetting(kSettingsSection, name, kNone);
    if (value == kNone)
        return std::nullopt;
    return value;
}

// A real window over a scripted control, a store in a temporary folder and
// recorded message boxes. The control is created the way the window creates
// it (at FormShow), and `link` stays valid for the test's lifetime.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        store = std::make_unique<SettingsStore>(storePath(), [this](const std::filesystem::path& path) {
            return std::make_unique<RecordingRegistry>(
                path, storeWrites, [this] { return link ? link->calls().size() : 0; });
        });
    }

    void TearDown() override
    {
        // The window goes before the control it points into and the store.
        window.reset();
        QApplication::processEvents();
    }

    std::filesystem::path storePath() const { return std::filesystem::path(m_dir.path().toStdString()) / "hklm.db"; }

    // Builds the window; `show` also runs FormShow as a real show does.
    void createWindow(bool show = true)
    {
        TermLinkFactory factory = customFactory;
        if (!factory) {
            factory = [this]() -> std::unique_ptr<ITermLinkObject> {
                if (!factoryFailure.empty())
                    throw std::runtime_error(factoryFailure);
                auto object = std::make_unique<RecordingTermLink>();
                link = object.get();
                return object;
            };
        }
        window = std::make_unique<TfrmMain>(factory, *store, boxes);
        if (show) {
            window->show();
            ASSERT_TRUE(QTest::qWaitFor(
                [this] { return window->termLink() != nullptr || window->terminationRequested(); }, 5000));
            window->activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(window.get(), 5000));
        }
    }

    template <typename T> T* child(const QString& name) const
    {
        T* widget = window->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }

    QLineEdit* edit(const QString& name) const { return child<QLineEdit>(name); }
    QLineEdit* edit(const char* name) const { return edit(QString::fromLatin1(name)); }
    // Day 0 is Sunday, columns count from 1: field(1, 1) is mon1.
    QLineEdit* field(int day, int column) const
    {
        static const char* const kPrefixes[] = { "sun", "mon", "tue", "wed", "thu", "fri", "sat" };
        return edit(QString::fromLatin1(kPrefixes[day]) + QString::number(column));
    }
    QCheckBox* box(int zone) const { return child<QCheckBox>(QStringLiteral("tz%1").arg(zone)); }
    QPushButton* button(const char* name) const { return child<QPushButton>(QString::fromLatin1(name)); }
    QPushButton* updateButton() const { return button("btnUpdate"); }
    QStringList logLines() const
    {
        const QString text = child<QPlainTextEdit>(QStringLiteral("Memo1"))->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    void clickUpdate() { QTest::mouseClick(updateButton(), Qt::LeftButton); }
    // Clicks a check box or radio button on its indicator, as a user would.
    static void clickIndicator(QAbstractButton* button)
    {
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
    }

    // The fourteen fields of a zone in week-text order.
    std::vector<QLineEdit*> zoneFields(int zone) const
    {
        std::vector<QLineEdit*> fields;
        for (int day = 0; day < 7; ++day) {
            fields.push_back(field(day, 2 * zone - 1));
            fields.push_back(field(day, 2 * zone));
        }
        return fields;
    }
    // Gives each field of the zone its own text: zone 2 gets "2000" ... "2013".
    void fillDistinct(int zone)
    {
        int i = 0;
        for (QLineEdit* f : zoneFields(zone))
            f->setText(QString::number(zone * 1000 + i++));
    }
    QString joined(int zone) const
    {
        QString text;
        for (QLineEdit* f : zoneFields(zone))
            text += f->text();
        return text;
    }

    // Saves a value through a store of its own, as an earlier run would have.
    void seed(const std::string& name, const std::string& value) const
    {
        SettingsStore other(storePath());
        SetTZIntoReg(other, name, value);
    }
    // A value as it stands in the file, or nullopt when there is none.
    std::optional<std::string> stored(const std::string& name) const
    {
        SettingsStore reader(storePath());
        return storedSetting(reader, name);
    }
    // Terminal calls and store writes in the order they happened, as
    // "terminal <call>" and "store <name>=<value>".
    std::vector<std::string> effects() const
    {
        return interleavedEffects(link ? link->calls() : std::vector<std::string>(), storeWrites);
    }

    QTemporaryDir m_dir;
    std::vector<RecordingRegistry::Write> storeWrites;
    std::unique_ptr<SettingsStore> store;
    RecordingMessageBoxes boxes;
    RecordingTermLink* link = nullptr;
    std::string factoryFailure;
    TermLinkFactory customFactory;
    std::unique_ptr<TfrmMain> window;
};
