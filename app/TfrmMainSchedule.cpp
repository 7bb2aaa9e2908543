// The window's schedule handlers: grid fields, zone boxes, and the transfer of
// time zones to and from the terminal and the settings store.
#include "TfrmMain.h"

#include "Edits.h"
#include "ProgrammingCore.h"
#include "Schedule.h"
#include "SettingsStore.h"
#include "TCTermLink.h"
#include "TerminalConstants.h"

#include <QCheckBox>

namespace {

QString warningFor(int zone)
{
    return QStringLiteral("Please enable the Time Zone %1 before enable the Time Zone %2.").arg(zone - 1).arg(zone);
}

} // namespace

void TfrmMain::timeFieldExit(TimeEdit* field)
{
    const QString converted = QString::fromStdU16String(schedule::ConvertTime(field->text().toStdU16String()));
    if (converted != field->text())
        field->setText(converted);
}

void TfrmMain::mon1Change()
{
    // A change made here runs this handler once more, nested; it finds the
    // text already normalised and writes nothing.
    timeFieldExit(timeField(1, 1));
}

void TfrmMain::tzClick(int zone)
{
    QCheckBox* box = tzBox(zone);
    if (zone >= 3 && !tzBox(zone - 1)->isChecked() && box->isChecked()) {
        box->setChecked(false); // runs this handler again, which disables the zone
        m_boxes.show(this, IMessageBoxes::Kind::Warning, QStringLiteral("Warning"), warningFor(zone));
        return;
    }
    if (!box->isChecked()) {
        for (int later = zone + 1; later <= schedule::kZones; ++later)
            tzBox(later)->setChecked(false);
    }
    for (TimeEdit* field : zoneFields(zone))
        field->setEnabled(box->isChecked());
}

void TfrmMain::fillZone(int zone, const QString& text)
{
    const auto pieces = schedule::fillZone(text.toStdU16String());
    const auto fields = zoneFields(zone);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (pieces.at(i))
            fields.at(i)->setText(QString::fromStdU16String(*pieces.at(i)));
    }
}

void TfrmMain::keepZoneTexts(const ScheduleSnapshot& snapshot)
{
    for (int zone = 2; zone <= schedule::kZones; ++zone) {
        if (zoneWritten(snapshot, zone))
            m_tzTexts.at(static_cast<std::size_t>(zone - 2)) = QString::fromStdString(zoneText(snapshot, zone));
    }
}

void TfrmMain::btnSetTZInfoClick()
{
    WriteRecorder writes(link());
    const ScheduleSnapshot snapshot = currentSnapshot();
    writeTimeZones(writes, snapshot, &m_store);
    keepZoneTexts(snapshot);
}

void TfrmMain::SetTZ(int zone)
{
    WriteRecorder writes(link());
    const ScheduleSnapshot snapshot = currentSnapshot();
    m_tzTexts.at(static_cast<std::size_t>(zone - 2)) = QString::fromStdString(zoneText(snapshot, zone));
    writeZone(writes, snapshot, zone, &m_store);
}

void TfrmMain::btnGetTZInfoClick()
{
    GetTZ(1);
    GetTZ2();
    GetTZ3();
    GetTZ4();
    GetTZ5();
}

void TfrmMain::GetTZ(int zone)
{
    std::u16string text;
    if (link().ReadTimeZone(kMachineNumber, schedule::terminalIndex(zone), text))
        fillZone(zone, QString::fromStdU16String(text));
}

void TfrmMain::ReadPreviousTZ()
{
    const std::string defaultText = QString::fromStdU16String(std::u16string(schedule::kDefaultZoneText)).toStdString();
    SettingsBracket bracket(m_store, kSettingsPath);
    fillZone(1, QString::fromStdString(m_store.ReadSetting(kSettingsSection, zoneValueName(1), defaultText)));
    for (int zone = 2; zone <= schedule::kZones; ++zone) {
        const std::string text = m_store.ReadSetting(kSettingsSection, zoneValueName(zone), defaultText);
        const std::string flag = m_store.ReadSetting(kSettingsSection, zoneFlagName(zone), "0");
        if (flag == "1") {
            tzBox(zone)->setChecked(true); // its handler enables the zone, or refuses with a warning
            fillZone(zone, QString::fromStdString(text));
        }
    }
    // Defaults from a store that exists but could not be read would otherwise
    // pass for the saved schedule, and the next Update would overwrite it.
    if (const auto& problem = m_store.readProblem())
        AddInfo(QStringLiteral("Saved schedule not read: ") + QString::fromStdString(*problem));
}
