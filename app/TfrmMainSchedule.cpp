// The window's schedule handlers: grid fields, zone boxes, and the transfer of
// time zones to and from the terminal and the settings store.
#include "TfrmMain.h"

#include "Edits.h"
#include "Programming.h"
#include "Schedule.h"
#include "SettingsStore.h"
#include "TCTermLink.h"

#include <QCheckBox>

#include <optional>

namespace {

QString warningFor(int zone)
{
    return QStringLiteral("Please enable the Time Zone %1 before enable the Time Zone %2.").arg(zone - 1).arg(zone);
}

std::string zoneValueName(int zone)
{
    return std::to_string(schedule::terminalIndex(zone));
}
std::string zoneFlagName(int zone)
{
    return "TZ" + zoneValueName(zone);
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

std::array<bool, 4> TfrmMain::tickedZones() const
{
    std::array<bool, 4> ticked {};
    for (int zone = 2; zone <= schedule::kZones; ++zone)
        ticked.at(static_cast<std::size_t>(zone - 2)) = tzBox(zone)->isChecked();
    return ticked;
}

QString TfrmMain::joinZone(int zone) const
{
    std::array<std::u16string, schedule::kFieldsPerZone> texts;
    const auto fields = zoneFields(zone);
    for (std::size_t i = 0; i < fields.size(); ++i)
        texts.at(i) = fields.at(i)->text().toStdU16String();
    return QString::fromStdU16String(schedule::joinZone(texts));
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

WriteRecorder& TfrmMain::currentWrites(std::optional<WriteRecorder>& standalone)
{
    // Outside an Update (the hidden buttons) the writes are simply not audited.
    if (m_writes)
        return *m_writes;
    return standalone.emplace(link());
}

void TfrmMain::btnSetTZInfoClick()
{
    std::optional<WriteRecorder> standalone;
    WriteRecorder& writes = currentWrites(standalone);
    const QString zone1 = joinZone(1);
    writes.WriteTimeZone(schedule::terminalIndex(1), zone1.toStdU16String());
    SetTZIntoReg(m_store, zoneValueName(1), zone1.toStdString());
    for (int zone = 2; zone <= schedule::kZones; ++zone) {
        if (tzBox(zone)->isChecked())
            SetTZ(zone);
        else
            SetTZIntoReg(m_store, zoneFlagName(zone), "0");
    }
}

void TfrmMain::SetTZ(int zone)
{
    QString& text = m_tzTexts.at(static_cast<std::size_t>(zone - 2));
    text = joinZone(zone);
    std::optional<WriteRecorder> standalone;
    currentWrites(standalone).WriteTimeZone(schedule::terminalIndex(zone), text.toStdU16String());
    SetTZIntoReg(m_store, zoneValueName(zone), text.toStdString());
    SetTZIntoReg(m_store, zoneFlagName(zone), "1");
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
