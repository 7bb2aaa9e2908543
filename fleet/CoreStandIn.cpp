#include "CoreStandIn.h"

#include "SettingsStore.h"
#include "TCTermLink.h"

namespace {

std::u16string joinSnapshotZone(const ScheduleSnapshot& snapshot, int zone)
{
    std::array<std::u16string, schedule::kFieldsPerZone> fields;
    const auto& texts = snapshot.zones.at(static_cast<std::size_t>(zone - 1));
    for (std::size_t i = 0; i < fields.size(); ++i)
        fields.at(i) = fromUtf8(texts.at(i));
    return schedule::joinZone(fields);
}

} // namespace

ProgrammingOutcome programTerminal(TCTermLink& link, const ScheduleSnapshot& snapshot, SettingsStore* store)
{
    WriteRecorder writes(link);
    ProgrammingChoices choices;
    choices.enable = snapshot.enable;
    choices.forceOpen = snapshot.forceOpen;
    choices.ticked = snapshot.ticked;
    choices.lockFunValue = fromUtf8(snapshot.lockFunValue);
    const auto save = [store](const std::string& ident, const std::string& value) {
        if (store)
            SetTZIntoReg(*store, ident, value);
    };
    const auto setTimeZones = [&] {
        for (int zone = 1; zone <= schedule::kZones; ++zone) {
            const std::string index = std::to_string(schedule::terminalIndex(zone));
            if (zone > 1 && !snapshot.ticked.at(static_cast<std::size_t>(zone - 2))) {
                save("TZ" + index, "0");
                continue;
            }
            const std::u16string text = joinSnapshotZone(snapshot, zone);
            writes.WriteTimeZone(schedule::terminalIndex(zone), text);
            save(index, toUtf8(text));
            if (zone > 1)
                save("TZ" + index, "1");
        }
    };
    runProgrammingSequence(writes, choices, setTimeZones, [&] { setGroupOptions(writes, choices); });
    ProgrammingOutcome outcome;
    outcome.finalWriteAccepted = writes.WriteOption(u"IsHolidayValid", u"0");
    outcome.refused = writes.refused();
    return outcome;
}

ConnectReadout readConnectReadout(TCTermLink& link)
{
    ConnectReadout readout;
    std::u16string value;
    if (link.ReadFirmwareVersion(kMachineNumber, value))
        readout.identityLines.push_back("Firmware Version: " + toUtf8(value));
    if (link.ReadProductName(kMachineNumber, value))
        readout.identityLines.push_back("Product Name: " + toUtf8(value));
    if (link.ReadVendorName(value))
        readout.identityLines.push_back("Manufacturer: " + toUtf8(value));
    if (link.ReadSerialNumber(kMachineNumber, value))
        readout.identityLines.push_back("Serial Numner: " + toUtf8(value));
    if (link.ReadSdkVersion(value))
        readout.identityLines.push_back("SDK Version: " + toUtf8(value));
    std::u16string deviceName;
    if (link.ReadOption(kMachineNumber, u"~DeviceName", deviceName))
        readout.lockFunValue = toUtf8(lockFunValueFor(deviceName));
    readout.method = findProgrammingMethod(link);
    std::u16string first;
    std::u16string second;
    if (readout.method == ProgrammingMethod::Group) {
        link.ReadGroupText(kMachineNumber, 101, first);
        link.ReadGroupText(kMachineNumber, 102, second);
        readout.enabled = groupTextsMeanEnabled(first, second);
    } else {
        link.ReadOption(kMachineNumber, u"~DCTZ", first);
        link.ReadOption(kMachineNumber, u"~DOTZ", second);
        readout.enabled = doorOptionsMeanEnabled(first, second);
    }
    return readout;
}
