#pragma once

#include "../app/WindowFixture.h"

#include "Edits.h"
#include "Schedule.h"
#include "SettingsStore.h"
#include "TermLinkLoader.h"
#include "TerminalConstants.h"
#include "TermsimProcess.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The real window with the real control library (libtermlink.so, loaded the
// way the program loads it) against a real termsim on a loopback address of
// its own, with a settings store in a temporary folder.
class EndToEndTest : public ::testing::Test {
protected:
    using Calls = std::vector<std::string>;
    using Kind = IMessageBoxes::Kind;

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        store = std::make_unique<SettingsStore>(path("hklm.db"));
    }

    void TearDown() override
    {
        dumpJournal();
        window.reset();
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    }

    // With LATCHWISE_E2E_JOURNAL_DIR set, each test leaves the simulator's
    // journal there as <Test>.jsonl, so two builds can be compared with diff.
    // The peer's port changes from run to run and is left out.
    void dumpJournal() const
    {
        const char* dir = std::getenv("LATCHWISE_E2E_JOURNAL_DIR");
        if (!dir || !*dir || !sim)
            return;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::filesystem::create_directories(dir);
        std::ofstream out(std::filesystem::path(dir) / (std::string(info->name()) + ".jsonl"));
        for (auto entry : sim->journal()) {
            entry.erase("peer");
            out << entry.dump() << '\n';
        }
    }

    std::string path(const char* name) const
    {
        return (std::filesystem::path(m_dir.path().toStdString()) / name).string();
    }

    // Starts the simulator; `state` (JSON), when given, is its state file's
    // first content.
    void startTerminal(const char* address, std::optional<std::int32_t> key = std::nullopt,
        std::vector<std::string> fails = {}, const std::optional<nlohmann::json>& state = std::nullopt)
    {
        TermsimProcess::Options options;
        options.address = address;
        options.port = kTerminalPort;
        options.key = key;
        options.fails = std::move(fails);
        if (state) {
            options.stateFile = path("state.json");
            std::ofstream(options.stateFile) << state->dump();
        }
        sim = std::make_unique<TermsimProcess>(std::move(options));
        ASSERT_TRUE(sim->started()) << sim->output();
    }

    void createWindow()
    {
        window = std::make_unique<TfrmMain>(libraryTermLinkFactory(LATCHWISE_BIN_DIR), *store, boxes);
        window->show();
        ASSERT_TRUE(QTest::qWaitFor([this] { return window->termLink() || window->terminationRequested(); }, 5000));
        ASSERT_FALSE(window->terminationRequested()) << boxes.texts().join(QLatin1Char('|')).toStdString();
        edit("edtIP")->setText(QString::fromStdString(sim->address()));
    }

    template <typename T> T* child(const char* name) const
    {
        T* widget = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit* edit(const char* name) const { return child<QLineEdit>(name); }
    QRadioButton* radio(const char* name) const { return child<QRadioButton>(name); }
    QCheckBox* box(int zone) const { return window->findChild<QCheckBox*>(QStringLiteral("tz%1").arg(zone)); }
    QString caption() const { return child<QPushButton>("btnUpdate")->text(); }
    int stage() const { return window->buttonStage(); }

    QStringList logLines() const
    {
        const QString text = child<QPlainTextEdit>("Memo1")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

    // Presses the button; returns the operations the terminal received for it.
    Calls press()
    {
        const std::size_t before = sim->operations().size();
        QTest::mouseClick(child<QPushButton>("btnUpdate"), Qt::LeftButton);
        const Calls all = sim->operations();
        return Calls(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end());
    }

    int events(const char* name) const
    {
        int count = 0;
        for (const auto& entry : sim->journal()) {
            if (entry.contains("event") && entry["event"] == name)
                ++count;
        }
        return count;
    }

    // Restart closes the terminal's door for a moment; wait (bounded) until
    // it listens again before the next Connect.
    void pressRestartAndWaitForTerminal()
    {
        const int resumed = events("resume");
        EXPECT_EQ(press(), (Calls { "RestartTerminal(1)" }));
        EXPECT_TRUE(QTest::qWaitFor([&] { return events("resume") > resumed; }, 5000));
    }

    void setZone(int zone, const char* start, const char* end)
    {
        for (int day = 0; day < schedule::kDays; ++day) {
            window->timeField(day, schedule::startColumn(zone))->setText(QString::fromLatin1(start));
            window->timeField(day, schedule::endColumn(zone))->setText(QString::fromLatin1(end));
        }
    }

    static std::string weekOf(const char* start, const char* end)
    {
        std::string text;
        for (int day = 0; day < schedule::kDays; ++day)
            text += std::string(start) + end;
        return text;
    }

    std::optional<std::string> stored(const std::string& ident) { return storedSetting(*store, ident); }

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> store;
    RecordingMessageBoxes boxes;
    std::unique_ptr<TermsimProcess> sim;
    std::unique_ptr<TfrmMain> window;
};

inline const std::vector<std::string> kConnectOperations { "ReadFirmwareVersion(1)", "ReadProductName(1)",
    "ReadVendorName()", "ReadSerialNumber(1)", "ReadOption(1, ~DeviceName)" };

inline const std::vector<std::string> kWiegand { "WriteOption(1, WiegandOpen, 406218)",
    "WriteOption(1, WiegandClose, 591734)", "WriteOption(1, WiegandNormal, 827365)" };

inline std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}
