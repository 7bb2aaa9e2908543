#include "RecordingTermLink.h"

#include "Utf8.h"

#include <cstring>

namespace {
std::string key(const std::string& op, const std::string& arg)
{
    return op + '\x1f' + arg;
}
std::string text(const std::u16string& s)
{
    return toUtf8(s);
}
std::string num(std::int32_t n)
{
    return std::to_string(n);
}
} // namespace

void RecordingTermLink::on(const std::string& op, Answer answer)
{
    m_lasting[op] = std::move(answer);
}

void RecordingTermLink::on(const std::string& op, const std::string& arg, Answer answer)
{
    m_lasting[key(op, arg)] = std::move(answer);
}

void RecordingTermLink::once(const std::string& op, Answer answer)
{
    m_once[op].push_back(std::move(answer));
}

void RecordingTermLink::once(const std::string& op, const std::string& arg, Answer answer)
{
    m_once[key(op, arg)].push_back(std::move(answer));
}

std::vector<std::string> RecordingTermLink::callsOf(const std::string& op) const
{
    std::vector<std::string> out;
    for (const auto& call : m_calls) {
        if (call.rfind(op + "(", 0) == 0)
            out.push_back(call);
    }
    return out;
}

HResult RecordingTermLink::QueryTermLink(ITermLink** link)
{
    ++m_bindCount;
    if (failed(m_bindFailure)) {
        *link = nullptr;
        return m_bindFailure;
    }
    *link = this;
    return kSOk;
}

std::optional<RecordingTermLink::Answer> RecordingTermLink::take(const std::string& k)
{
    if (auto it = m_once.find(k); it != m_once.end() && !it->second.empty()) {
        Answer a = std::move(it->second.front());
        it->second.pop_front();
        return a;
    }
    if (auto it = m_lasting.find(k); it != m_lasting.end())
        return it->second;
    return std::nullopt;
}

CallResult RecordingTermLink::answer(const std::string& op, const std::vector<std::string>& args, std::u16string* out)
{
    std::string record = op + "(";
    for (std::size_t i = 0; i < args.size(); ++i)
        record += (i ? ", " : "") + args[i];
    record += ")";
    m_calls.push_back(record);

    // The first argument after MachineNumber selects; operations without a
    // MachineNumber select on their first argument.
    std::optional<Answer> found;
    static const char* const kNoMachine[]
        = { "ReadSdkVersion", "ConnectNetwork", "DisconnectTerminal", "SetCommKey", "ReadVendorName" };
    bool hasMachine = true;
    for (const char* name : kNoMachine)
        hasMachine = hasMachine && op != name;
    const std::size_t selector = hasMachine ? 1 : 0;
    if (args.size() > selector)
        found = take(key(op, args[selector]));
    if (!found)
        found = take(op);
    const Answer a = found.value_or(Answer {});
    if (failed(a.status))
        return CallResult::failure(a.status, a.description);
    if (out)
        *out = a.text;
    CallResult result = CallResult::ok(a.result);
    result.status = a.status; // success class, e.g. a refused connect's cause
    result.description = a.description;
    return result;
}

CallResult RecordingTermLink::ReadSerialNumber(std::int32_t machineNumber, std::u16string& serialNumber)
{
    return answer("ReadSerialNumber", { num(machineNumber) }, &serialNumber);
}

CallResult RecordingTermLink::ReadProductName(std::int32_t machineNumber, std::u16string& productName)
{
    return answer("ReadProductName", { num(machineNumber) }, &productName);
}

CallResult RecordingTermLink::ReadFirmwareVersion(std::int32_t machineNumber, std::u16string& version)
{
    return answer("ReadFirmwareVersion", { num(machineNumber) }, &version);
}

CallResult RecordingTermLink::ReadSdkVersion(std::u16string& version)
{
    return answer("ReadSdkVersion", {}, &version);
}

CallResult RecordingTermLink::ConnectNetwork(const std::u16string& ipAddress, std::int32_t port)
{
    return answer("ConnectNetwork", { text(ipAddress), num(port) }, nullptr);
}

CallResult RecordingTermLink::DisconnectTerminal()
{
    return answer("DisconnectTerminal", {}, nullptr);
}

CallResult RecordingTermLink::SetCommKey(std::int32_t key)
{
    return answer("SetCommKey", { num(key) }, nullptr);
}

CallResult RecordingTermLink::ReadTimeZone(std::int32_t machineNumber, std::int32_t index, std::u16string& text)
{
    return answer("ReadTimeZone", { num(machineNumber), num(index) }, &text);
}

CallResult RecordingTermLink::WriteTimeZone(std::int32_t machineNumber, std::int32_t index, const std::u16string& tz)
{
    return answer("WriteTimeZone", { num(machineNumber), num(index), text(tz) }, nullptr);
}

CallResult RecordingTermLink::ReadGroupText(std::int32_t machineNumber, std::int32_t group, std::u16string& out)
{
    return answer("ReadGroupText", { num(machineNumber), num(group) }, &out);
}

CallResult RecordingTermLink::WriteGroupNumber(std::int32_t machineNumber, std::int32_t group, std::int32_t number)
{
    return answer("WriteGroupNumber", { num(machineNumber), num(group), num(number) }, nullptr);
}

CallResult RecordingTermLink::RestartTerminal(std::int32_t machineNumber)
{
    return answer("RestartTerminal", { num(machineNumber) }, nullptr);
}

CallResult RecordingTermLink::ReadVendorName(std::u16string& vendor)
{
    return answer("ReadVendorName", {}, &vendor);
}

CallResult RecordingTermLink::ReadOption(std::int32_t machineNumber, const std::u16string& name, std::u16string& value)
{
    return answer("ReadOption", { num(machineNumber), text(name) }, &value);
}

CallResult RecordingTermLink::WriteOption(
    std::int32_t machineNumber, const std::u16string& name, const std::u16string& value)
{
    return answer("WriteOption", { num(machineNumber), text(name), text(value) }, nullptr);
}

CallResult RecordingTermLink::WriteUnlockCombination(std::int32_t machineNumber, std::int32_t c1, std::int32_t c2,
    std::int32_t c3, std::int32_t c4, std::int32_t c5, std::int32_t c6)
{
    return answer("WriteUnlockCombination",
        { num(machineNumber), num(c1), num(c2), num(c3), num(c4), num(c5), num(c6) }, nullptr);
}

CallResult RecordingTermLink::IsColorTerminal(std::int32_t machineNumber)
{
    return answer("IsColorTerminal", { num(machineNumber) }, nullptr);
}
