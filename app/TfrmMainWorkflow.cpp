// The three-stage button: Connect, Update, Restart.
#include "TfrmMain.h"

#include "Edits.h"
#include "Number.h"
#include "ProgrammingCore.h"
#include "Schedule.h"
#include "SettingsStore.h"
#include "TCTermLink.h"
#include "TerminalConstants.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <stdexcept>

namespace {

const QString kUpdateSucceeded = QStringLiteral("Update Tervalo Terminal Successful.");
const QString kUpdateFailed = QStringLiteral("Update Tervalo Terminal Failed.");

} // namespace

TCTermLink& TfrmMain::link()
{
    if (!m_termLink)
        throw std::runtime_error("The terminal control is not available");
    return *m_termLink;
}

void TfrmMain::setButtonStage(int stage)
{
    static const char* const kCaptions[] = { "Connect", "Update", "Restart" };
    m_buttonStage = stage;
    btnUpdate->setText(QString::fromLatin1(kCaptions[stage]));
}

void TfrmMain::btnUpdateClick()
{
    if (!Validation())
        return;
    switch (m_buttonStage) {
    case 0:
        connectStage();
        break;
    case 1:
        updateStage();
        break;
    case 2:
        restartStage();
        break;
    }
}

void TfrmMain::connectStage()
{
    Memo1->clear();
    link().SetCommKey(parseCommKey(edtKey->text().toStdString()));
    const QString ip = edtIP->text();
    if (!link().ConnectNetwork(ip.toStdU16String(), kTerminalPort)) {
        m_boxes.show(
            this, IMessageBoxes::Kind::Error, QStringLiteral("Error"), QStringLiteral("Unable to connect to ") + ip);
        return;
    }
    setButtonStage(1);
    AddInfo(QStringLiteral("Connected to ") + ip);

    // What was read before an error raised by the control is still shown.
    ConnectReadout readout;
    try {
        readConnectReadout(link(), readout);
    } catch (...) {
        showReadout(readout, false);
        throw;
    }
    showReadout(readout, true);
}

void TfrmMain::GetDeviceInfo(const std::vector<std::string>& identityLines)
{
    for (const std::string& line : identityLines)
        AddInfo(QString::fromStdString(line));
}

void TfrmMain::showReadout(const ConnectReadout& readout, bool complete)
{
    GetDeviceInfo(readout.identityLines);
    if (!readout.lockFunValue.empty())
        LockFunValue = QString::fromStdString(readout.lockFunValue);
    if (readout.methodFound) {
        // The door options hold time zone 1 only, so zones 2 to 5 are off there.
        for (int zone = 2; zone <= schedule::kZones; ++zone)
            tzBox(zone)->setEnabled(readout.method == ProgrammingMethod::Group);
    }
    if (!complete)
        return;
    if (!readout.enabled) {
        AddInfo(QStringLiteral("Force Open/Close Function state could not be read"));
    } else if (*readout.enabled) {
        AddInfo(QStringLiteral("Force Open/Close Function is ENABLED"));
        rbtnEnableClick();
    } else {
        AddInfo(QStringLiteral("Force Open/Close Function is DISABLED"));
    }
}

bool TfrmMain::checkScheduleFields()
{
    const std::vector<ZoneField> bad = notFourDigitFields(currentSnapshot());
    if (bad.empty())
        return true;
    const auto [zone, slot] = bad.front();
    const int day = slot / 2;
    m_boxes.show(this, IMessageBoxes::Kind::Error, QStringLiteral("Error"),
        QStringLiteral("Time Zone %1, %2 %3: \"%4\" is not a four-digit time (HHMM).")
            .arg(zone)
            .arg(QString::fromLatin1(schedule::kDayNames.at(static_cast<std::size_t>(day)).data()))
            .arg(slot % 2 ? QStringLiteral("end") : QStringLiteral("start"))
            .arg(zoneFields(zone).at(static_cast<std::size_t>(slot))->text()));
    return false;
}

void TfrmMain::updateStage()
{
    // A short or empty field would shift every later time of its zone.
    if (rbtnEnable->isChecked() && !checkScheduleFields())
        return;
    // Enable saves the schedule mid-sequence: a store that cannot take it stops here, before the terminal.
    if (rbtnEnable->isChecked())
        m_store.ensureWritable(kSettingsPath, kSettingsSection);

    AddInfo(QStringLiteral("Updating..."));
    QApplication::setOverrideCursor(Qt::WaitCursor);

    const ScheduleSnapshot snapshot = currentSnapshot();
    const ProgrammingOutcome outcome = programTerminal(link(), snapshot, &m_store);
    if (snapshot.enable)
        keepZoneTexts(snapshot);

    if (outcome.succeeded()) {
        m_boxes.show(this, IMessageBoxes::Kind::Information, QStringLiteral("Information"), kUpdateSucceeded);
        AddInfo(kUpdateSucceeded);
        AddInfo(QString());
        AddInfo(QStringLiteral("Please restart terminal"));
        QApplication::restoreOverrideCursor();
        setButtonStage(2);
    } else {
        m_boxes.show(this, IMessageBoxes::Kind::Information, QStringLiteral("Information"), kUpdateFailed);
        for (const std::string& call : outcome.refused)
            AddInfo(QStringLiteral("Refused by terminal: ") + QString::fromStdString(call));
        AddInfo(kUpdateFailed);
        link().DisconnectTerminal();
        QApplication::restoreOverrideCursor();
        setButtonStage(0);
    }
}

ScheduleSnapshot TfrmMain::currentSnapshot() const
{
    ScheduleSnapshot snapshot;
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        const auto fields = zoneFields(zone);
        auto& texts = snapshot.zones.at(static_cast<std::size_t>(zone - 1));
        for (std::size_t i = 0; i < fields.size(); ++i)
            texts.at(i) = fields.at(i)->text().toStdString();
    }
    for (int zone = 2; zone <= schedule::kZones; ++zone)
        snapshot.ticked.at(static_cast<std::size_t>(zone - 2)) = tzBox(zone)->isChecked();
    snapshot.enable = rbtnEnable->isChecked();
    snapshot.forceOpen = rbtnOpen->isChecked();
    snapshot.lockFunValue = LockFunValue.toStdString();
    return snapshot;
}

void TfrmMain::btnSetGroupClick()
{
    WriteRecorder writes(link());
    setGroupOptions(writes, currentSnapshot());
}

void TfrmMain::restartStage()
{
    AddInfo(QStringLiteral("Terminal is restarting..."));
    if (link().RestartTerminal(kMachineNumber))
        AddInfo(QStringLiteral("***** Completed *****"));
    else
        AddInfo(QStringLiteral("Refused by terminal: RestartTerminal()"));
    setButtonStage(0);
}
