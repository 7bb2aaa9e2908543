#include "Programming.h"

#include "Schedule.h"

#include <charconv>
#include <stdexcept>

ProgrammingMethod findProgrammingMethod(TCTermLink& link)
{
    if (!link.IsColorTerminal(kMachineNumber))
        return ProgrammingMethod::Group;
    std::u16string doorColor;
    link.ReadOption(kMachineNumber, u"PermanentDoorColor", doorColor);
    return doorColor == u"1" ? ProgrammingMethod::Group : ProgrammingMethod::DoorOption;
}

std::u16string lockFunValueFor(const std::u16string& deviceName)
{
    std::u16string upper = deviceName;
    for (auto& c : upper) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return upper == u"K3X" ? u"14" : u"15";
}

bool groupTextsMeanEnabled(const std::u16string& group101, const std::u16string& group102)
{
    const bool bothCleared = group101 == u"::" && group102 == u"::";
    const bool bothEmptyLists = group101 == u"::::" && group102 == u"::::";
    return !(bothCleared || bothEmptyLists);
}

bool doorOptionsMeanEnabled(const std::u16string& dctz, const std::u16string& dotz)
{
    return dctz == u"50" || dotz == u"50";
}

std::int32_t parseCommKey(const std::string& text)
{
    const auto invalid = [&] { return std::runtime_error("'" + text + "' is not a valid integer value"); };
    std::size_t digits = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-'))
        digits = 1;
    if (digits == text.size())
        throw invalid();
    for (std::size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            throw invalid();
    }
    // from_chars takes a minus sign but no plus sign.
    const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
    const char* end = text.data() + text.size();
    std::int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end)
        throw invalid();
    return value;
}

bool WriteRecorder::note(bool accepted, std::string call)
{
    if (!accepted)
        m_refused.push_back(std::move(call));
    return accepted;
}

bool WriteRecorder::WriteOption(const std::u16string& name, const std::u16string& value)
{
    return note(
        m_link.WriteOption(kMachineNumber, name, value), "WriteOption(" + toUtf8(name) + ", " + toUtf8(value) + ")");
}

bool WriteRecorder::WriteTimeZone(std::int32_t index, const std::u16string& text)
{
    return note(m_link.WriteTimeZone(kMachineNumber, index, text),
        "WriteTimeZone(" + std::to_string(index) + ", " + toUtf8(text) + ")");
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

std::u16string effectiveLockFunValue(const std::u16string& lockFunValue)
{
    return lockFunValue.empty() ? u"15" : lockFunValue;
}

void setGroupOptions(WriteRecorder& writes, const ProgrammingChoices& choices)
{
    const std::u16string activeGroupOption = choices.forceOpen ? u"GTZ101" : u"GTZ102";
    writes.WriteOption(choices.forceOpen ? u"GTZ102" : u"GTZ101", u"::::");
    if (findProgrammingMethod(writes.link()) == ProgrammingMethod::Group) {
        writes.WriteOption(u"~LockFunOn", effectiveLockFunValue(choices.lockFunValue));
        writes.WriteOption(activeGroupOption, schedule::timeZoneList(choices.ticked));
    } else {
        writes.WriteOption(u"~DCTZ", choices.forceOpen ? u"0" : u"50");
        writes.WriteOption(u"~DOTZ", choices.forceOpen ? u"50" : u"0");
        writes.WriteUnlockCombination(1, 1, 0, 0, 0, 0);
    }
}

void runProgrammingSequence(WriteRecorder& writes, const ProgrammingChoices& choices,
    const std::function<void()>& setTimeZones, const std::function<void()>& setGroup)
{
    writes.WriteOption(u"WiegandOpen", u"406218");
    writes.WriteOption(u"WiegandClose", u"591734");
    writes.WriteOption(u"WiegandNormal", u"827365");
    if (choices.enable) {
        writes.WriteOption(u"OpenCloseExtOn", u"1");
        if (!writes.link().IsColorTerminal(kMachineNumber))
            writes.WriteOption(u"~LockFunOn", effectiveLockFunValue(choices.lockFunValue));
        setTimeZones();
        setGroup();
    } else {
        writes.WriteOption(u"OpenCloseExtOn", u"0");
        if (findProgrammingMethod(writes.link()) == ProgrammingMethod::Group) {
            writes.WriteGroupNumber(101, 0);
            writes.WriteGroupNumber(102, 0);
        } else {
            writes.WriteOption(u"~DCTZ", u"0");
            writes.WriteOption(u"~DOTZ", u"0");
        }
    }
}
