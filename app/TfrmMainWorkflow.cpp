// The three-stage button: Connect, Update, Restart.
#include "TfrmMain.h"

#include "Edits.h"
#include "Programming.h"
#include "Schedule.h"
#include "SettingsStore.h"
#include "TCTermLink.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <optional>
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
    GetDeviceInfo();

    std::u16string deviceName;
    if (link().ReadOption(kMachineNumber, u"~DeviceName", deviceName))
        LockFunValue = QString::fromStdU16String(lockFunValueFor(deviceName));

    readPermanentState();
}

void TfrmMain::GetDeviceInfo()
{
    std::u16string value;
    if (link().ReadFirmwareVersion(kMachineNumber, value))
        AddInfo(QStringLiteral("Firmware Version: ") + QString::fromStdU16String(value));
    if (link().ReadProductName(kMachineNumber, value))
        AddInfo(QStringLiteral("Product Name: ") + QString::fromStdU16String(value));
    if (link().ReadVendorName(value))
        AddInfo(QStringLiteral("Manufacturer: ") + QString::fromStdU16String(value));
    if (link().ReadSerialNumber(kMachineNumber, value))
        AddInfo(QStringLiteral("Serial Numner: ") + QString::fromStdU16String(value));
    if (link().ReadSdkVersion(value))
        AddInfo(QStringLiteral("SDK Version: ") + QString::fromStdU16String(value));
}

void TfrmMain::readPermanentState()
{
    bool enabled = false;
    if (findProgrammingMethod(link()) == ProgrammingMethod::Group) {
        for (int zone = 2; zone <= schedule::kZones; ++zone)
            tzBox(zone)->setEnabled(true);
        std::u16string group101;
        std::u16string group102;
        link().ReadGroupText(kMachineNumber, 101, group101);
        link().ReadGroupText(kMachineNumber, 102, group102);
        enabled = groupTextsMeanEnabled(group101, group102);
    } else {
        for (int zone = 2; zone <= schedule::kZones; ++zone)
            tzBox(zone)->setEnabled(false);
        std::u16string dctz;
        std::u16string dotz;
        link().ReadOption(kMachineNumber, u"~DCTZ", dctz);
        link().ReadOption(kMachineNumber, u"~DOTZ", dotz);
        enabled = doorOptionsMeanEnabled(dctz, dotz);
    }
    if (enabled) {
        AddInfo(QStringLiteral("Force Open/Close Function is ENABLED"));
        rbtnEnableClick();
    } else {
        AddInfo(QStringLiteral("Force Open/Close Function is DISABLED"));
    }
}

bool TfrmMain::checkScheduleFields()
{
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        if (zone > 1 && !tzBox(zone)->isChecked())
            continue;
        for (int day = 0; day < schedule::kDays; ++day) {
            for (int column : { schedule::startColumn(zone), schedule::endColumn(zone) }) {
                const QString text = timeField(day, column)->text();
                if (schedule::isFourDigitTime(text.toStdU16String()))
                    continue;
                m_boxes.show(this, IMessageBoxes::Kind::Error, QStringLiteral("Error"),
                    QStringLiteral("Time Zone %1, %2 %3: \"%4\" is not a four-digit time (HHMM).")
                        .arg(zone)
                        .arg(QString::fromLatin1(schedule::kDayNames.at(static_cast<std::size_t>(day)).data()))
                        .arg(column % 2 ? QStringLiteral("start") : QStringLiteral("end"))
                        .arg(text));
                return false;
            }
        }
    }
    return true;
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

    WriteRecorder writes(link());
    m_writes = &writes;
    struct Reset {
        WriteRecorder*& writes;
        ~Reset() { writes = nullptr; }
    } reset { m_writes };

    runProgrammingSequence(
        writes, currentChoices(), [this] { btnSetTZInfoClick(); }, [this] { btnSetGroupClick(); });

    const bool lastWriteAccepted = writes.WriteOption(u"IsHolidayValid", u"0");
    if (lastWriteAccepted && writes.refused().empty()) {
        m_boxes.show(this, IMessageBoxes::Kind::Information, QStringLiteral("Information"), kUpdateSucceeded);
        AddInfo(kUpdateSucceeded);
        AddInfo(QString());
        AddInfo(QStringLiteral("Please restart terminal"));
        QApplication::restoreOverrideCursor();
        setButtonStage(2);
    } else {
        m_boxes.show(this, IMessageBoxes::Kind::Information, QStringLiteral("Information"), kUpdateFailed);
        for (const std::string& call : writes.refused())
            AddInfo(QStringLiteral("Refused by terminal: ") + QString::fromStdString(call));
        AddInfo(kUpdateFailed);
        link().DisconnectTerminal();
        QApplication::restoreOverrideCursor();
        setButtonStage(0);
    }
}

ProgrammingChoices TfrmMain::currentChoices() const
{
    ProgrammingChoices choices;
    choices.enable = rbtnEnable->isChecked();
    choices.forceOpen = rbtnOpen->isChecked();
    choices.ticked = tickedZones();
    choices.lockFunValue = LockFunValue.toStdU16String();
    return choices;
}

void TfrmMain::btnSetGroupClick()
{
    std::optional<WriteRecorder> standalone;
    WriteRecorder& writes = currentWrites(standalone);
    setGroupOptions(writes, currentChoices());
}

void TfrmMain::restartStage()
{
    AddInfo(QStringLiteral("Terminal is restarting..."));
    link().RestartTerminal(kMachineNumber);
    AddInfo(QStringLiteral("***** Completed *****"));
    setButtonStage(0);
}
