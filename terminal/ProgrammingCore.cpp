#include "ProgrammingCore.h"

#include "SettingsStore.h"
#include "TCTermLink.h"
#include "TerminalConstants.h"
#include "Utf8.h"

#include <utility>

namespace {

void save(SettingsStore* store, const std::string& ident, const std::string& value)
{
    if (store)
        SetTZIntoReg(*store, ident, value);
}

// One identity read: the line is kept only when the read succeeded.
template <typename Read> void readIdentity(std::vector<std::string>& lines, const char* prefix, Read read)
{
    std::u16string value;
    if (read(value))
        lines.push_back(prefix + toUtf8(value));
}

} // namespace

std::string zoneValueName(int zone)
{
    return std::to_string(schedule::terminalIndex(zone));
}

std::string zoneFlagName(int zone)
{
    return "TZ" + zoneValueName(zone);
}

ProgrammingMethod findProgrammingMethod(TCTermLink& link)
{
    if (!link.IsColorTerminal(kMachineNumber))
        return ProgrammingMethod::Group;
    std::u16string doorColor;
    link.ReadOption(kMachineNumber, u"PermanentDoorColor", doorColor);
    return doorColor == u"1" ? ProgrammingMethod::Group : ProgrammingMethod::DoorOption;
}

std::string lockFunValueFor(const std::string& deviceName)
{
    // Bytes of a multi-byte UTF-8 sequence are all above 'z', so only a-z change.
    std::string upper = deviceName;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper == "K3X" ? "14" : "15";
}

std::string effectiveLockFunValue(const std::string& lockFunValue)
{
    return lockFunValue.empty() ? "15" : lockFunValue;
}

bool groupTextsMeanEnabled(const std::string& group101, const std::string& group102)
{
    const bool bothCleared = group101 == "::" && group102 == "::";
    const bool bothEmptyLists = group101 == "::::" && group102 == "::::";
    return !(bothCleared || bothEmptyLists);
}

bool doorOptionsMeanEnabled(const std::string& dctz, const std::string& dotz)
{
    return dctz == "50" || dotz == "50";
}

void readConnectReadout(TCTermLink& link, ConnectReadout& readout)
{
    auto& lines = readout.identityLines;
    readIdentity(lines, "Firmware Version: ", [&](auto& v) { return link.ReadFirmwareVersion(kMachineNumber, v); });
    readIdentity(lines, "Product Name: ", [&](auto& v) { return link.ReadProductName(kMachineNumber, v); });
    readIdentity(lines, "Manufacturer: ", [&](auto& v) { return link.ReadVendorName(v); });
    readIdentity(lines, "Serial Numner: ", [&](auto& v) { return link.ReadSerialNumber(kMachineNumber, v); });
    readIdentity(lines, "SDK Version: ", [&](auto& v) { return link.ReadSdkVersion(v); });

    std::u16string deviceName;
    if (link.ReadOption(kMachineNumber, u"~DeviceName", deviceName))
        readout.lockFunValue = lockFunValueFor(toUtf8(deviceName));

    readout.method = findProgrammingMethod(link);
    readout.methodFound = true;
    std::u16string first;
    std::u16string second;
    bool read = false;
    if (readout.method == ProgrammingMethod::Group) {
        read = link.ReadGroupText(kMachineNumber, 101, first);
        read = link.ReadGroupText(kMachineNumber, 102, second) && read;
        if (read)
            readout.enabled = groupTextsMeanEnabled(toUtf8(first), toUtf8(second));
    } else {
        read = link.ReadOption(kMachineNumber, u"~DCTZ", first);
        read = link.ReadOption(kMachineNumber, u"~DOTZ", second) && read;
        if (read)
            readout.enabled = doorOptionsMeanEnabled(toUtf8(first), toUtf8(second));
    }
}

ConnectReadout readConnectReadout(TCTermLink& link)
{
    ConnectReadout readout;
    readConnectReadout(link, readout);
    return readout;
}

bool WriteRecorder::note(bool accepted, std::string call)
{
    if (!accepted)
        m_refused.push_back(std::move(call));
    return accepted;
}

bool WriteRecorder::WriteOption(const std::string& name, const std::string& value)
{
    return note(m_link.WriteOption(kMachineNumber, fromUtf8(name), fromUtf8(value)),
        "WriteOption(" + name + ", " + value + ")");
}

bool WriteRecorder::WriteTimeZone(std::int32_t index, const std::string& text)
{
    return note(m_link.WriteTimeZone(kMachineNumber, index, fromUtf8(text)),
        "WriteTimeZone(" + std::to_string(index) + ", " + text + ")");
}

bool WriteRecorder::WriteGroupNumber(std::int32_t group, std::int32_t number)
{
    return note(m_link.WriteGroupNumber(kMachineNumber, group, number),
        "WriteGroupNumber(" + std::to_string(group) + ", " + std::to_string(number) + ")");
}

bool WriteRecorder::WriteUnlockCombination(
    std::int32_t c1, std::int32_t c2, std::int32_t c3, std::int32_t c4, std::int32_t c5, std::int32_t c6)
{
    std::string call = "WriteUnlockCombination(" + std::to_string(c1) + ", " + std::to_string(c2) + ", "
        + std::to_string(c3) + ", " + std::to_string(c4) + ", " + std::to_string(c5) + ", " + std::to_string(c6) + ")";
    return note(m_link.WriteUnlockCombination(kMachineNumber, c1, c2, c3, c4, c5, c6), std::move(call));
}

bool zoneWritten(const ScheduleSnapshot& snapshot, int zone)
{
    return zone == 1 || snapshot.ticked.at(static_cast<std::size_t>(zone - 2));
}

std::vector<ZoneField> notFourDigitFields(const ScheduleSnapshot& snapshot)
{
    std::vector<ZoneField> bad;
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        if (!zoneWritten(snapshot, zone))
            continue;
        const auto& fields = snapshot.zones.at(static_cast<std::size_t>(zone - 1));
        for (std::size_t slot = 0; slot < fields.size(); ++slot) {
            if (!schedule::isFourDigitTime(fromUtf8(fields.at(slot))))
                bad.push_back({ zone, static_cast<int>(slot) });
        }
    }
    return bad;
}

std::string zoneText(const ScheduleSnapshot& snapshot, int zone)
{
    return schedule::joinZone(snapshot.zones.at(static_cast<std::size_t>(zone - 1)));
}

void writeZone(WriteRecorder& writes, const ScheduleSnapshot& snapshot, int zone, SettingsStore* store)
{
    const std::string text = zoneText(snapshot, zone);
    writes.WriteTimeZone(schedule::terminalIndex(zone), text);
    save(store, zoneValueName(zone), text);
    save(store, zoneFlagName(zone), "1");
}

void writeTimeZones(WriteRecorder& writes, const ScheduleSnapshot& snapshot, SettingsStore* store)
{
    const std::string zone1 = zoneText(snapshot, 1);
    writes.WriteTimeZone(schedule::terminalIndex(1), zone1);
    save(store, zoneValueName(1), zone1);
    for (int zone = 2; zone <= schedule::kZones; ++zone) {
        if (zoneWritten(snapshot, zone))
            writeZone(writes, snapshot, zone, store);
        else
            save(store, zoneFlagName(zone), "0");
    }
}

void setGroupOptions(WriteRecorder& writes, const ScheduleSnapshot& snapshot)
{
    const std::string activeGroupOption = snapshot.forceOpen ? "GTZ101" : "GTZ102";
    writes.WriteOption(snapshot.forceOpen ? "GTZ102" : "GTZ101", "::::");
    if (findProgrammingMethod(writes.link()) == ProgrammingMethod::Group) {
        writes.WriteOption("~LockFunOn", effectiveLockFunValue(snapshot.lockFunValue));
        writes.WriteOption(activeGroupOption, schedule::timeZoneList(snapshot.ticked));
    } else {
        writes.WriteOption("~DCTZ", snapshot.forceOpen ? "0" : "50");
        writes.WriteOption("~DOTZ", snapshot.forceOpen ? "50" : "0");
        writes.WriteUnlockCombination(1, 1, 0, 0, 0, 0);
    }
}

void runProgrammingSequence(WriteRecorder& writes, const ScheduleSnapshot& snapshot, SettingsStore* store)
{
    writes.WriteOption("WiegandOpen", "406218");
    writes.WriteOption("WiegandClose", "591734");
    writes.WriteOption("WiegandNormal", "827365");
    if (snapshot.enable) {
        writes.WriteOption("OpenCloseExtOn", "1");
        if (!writes.link().IsColorTerminal(kMachineNumber))
            writes.WriteOption("~LockFunOn", effectiveLockFunValue(snapshot.lockFunValue));
        writeTimeZones(writes, snapshot, store);
        setGroupOptions(writes, snapshot);
    } else {
        writes.WriteOption("OpenCloseExtOn", "0");
        if (findProgrammingMethod(writes.link()) == ProgrammingMethod::Group) {
            writes.WriteGroupNumber(101, 0);
            writes.WriteGroupNumber(102, 0);
        } else {
            writes.WriteOption("~DCTZ", "0");
            writes.WriteOption("~DOTZ", "0");
        }
    }
}

ProgrammingOutcome programTerminal(TCTermLink& link, const ScheduleSnapshot& snapshot, SettingsStore* store)
{
    WriteRecorder writes(link);
    runProgrammingSequence(writes, snapshot, store);
    ProgrammingOutcome outcome;
    outcome.finalWriteAccepted = writes.WriteOption("IsHolidayValid", "0");
    outcome.refused = writes.refused();
    return outcome;
}
