#pragma once

#include "ITermLink.h"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A scripted stand-in for the terminal control. It answers every operation
// from a script and records each call, in order, as text such as
// "WriteOption(1, ~LockFunOn, 15)" (out texts are not part of the record).
//
// Answers are looked up by operation name and, optionally, by the first
// argument after MachineNumber (an option name, a time-zone index, a group;
// for ConnectNetwork the address). One-shot answers are used up first, then
// the lasting ones; without any, an operation returns true with an empty text.
class RecordingTermLink : public ITermLink, public ITermLinkObject {
public:
    struct Answer {
        bool result = true;
        std::u16string text;
        HResult status = kSOk;
        std::u16string description;

        static Answer value(bool result, std::u16string text = {}) { return { result, std::move(text), kSOk, {} }; }
        static Answer error(HResult status, std::u16string description = {})
        {
            return { false, {}, status, std::move(description) };
        }
        // A ConnectNetwork the control answers false, naming the cause.
        static Answer refusedConnect(ConnectFailure cause, std::u16string description)
        {
            return { false, {}, connectFailureStatus(cause), std::move(description) };
        }
    };

    // Lasting answer for every call of `op` (with `arg` when given).
    void on(const std::string& op, Answer answer);
    void on(const std::string& op, const std::string& arg, Answer answer);
    // Answer for the next matching call only.
    void once(const std::string& op, Answer answer);
    void once(const std::string& op, const std::string& arg, Answer answer);

    const std::vector<std::string>& calls() const { return m_calls; }
    // Calls whose record starts with `op` + "(".
    std::vector<std::string> callsOf(const std::string& op) const;
    void clearCalls() { m_calls.clear(); }
    int bindCount() const { return m_bindCount; }
    // Makes QueryTermLink fail with this status.
    void failBinding(HResult status) { m_bindFailure = status; }

    // ITermLinkObject
    HResult QueryTermLink(ITermLink** link) override;

    // ITermLink
    CallResult ReadSerialNumber(std::int32_t machineNumber, std::u16string& serialNumber) override;
    CallResult ReadProductName(std::int32_t machineNumber, std::u16string& productName) override;
    CallResult ReadFirmwareVersion(std::int32_t machineNumber, std::u16string& version) override;
    CallResult ReadSdkVersion(std::u16string& version) override;
    CallResult ConnectNetwork(const std::u16string& ipAddress, std::int32_t port) override;
    CallResult DisconnectTerminal() override;
    CallResult SetCommKey(std::int32_t key) override;
    CallResult ReadTimeZone(std::int32_t machineNumber, std::int32_t index, std::u16string& text) override;
    CallResult WriteTimeZone(std::int32_t machineNumber, std::int32_t index, const std::u16string& text) override;
    CallResult ReadGroupText(std::int32_t machineNumber, std::int32_t group, std::u16string& text) override;
    CallResult WriteGroupNumber(std::int32_t machineNumber, std::int32_t group, std::int32_t number) override;
    CallResult RestartTerminal(std::int32_t machineNumber) override;
    CallResult ReadVendorName(std::u16string& vendor) override;
    CallResult ReadOption(std::int32_t machineNumber, const std::u16string& name, std::u16string& value) override;
    CallResult WriteOption(
        std::int32_t machineNumber, const std::u16string& name, const std::u16string& value) override;
    CallResult WriteUnlockCombination(std::int32_t machineNumber, std::int32_t c1, std::int32_t c2, std::int32_t c3,
        std::int32_t c4, std::int32_t c5, std::int32_t c6) override;
    CallResult IsColorTerminal(std::int32_t machineNumber) override;

private:
    CallResult answer(const std::string& op, const std::vector<std::string>& args, std::u16string* out);
    std::optional<Answer> take(const std::string& key);

    std::map<std::string, Answer> m_lasting;
    std::map<std::string, std::deque<Answer>> m_once;
    std::vector<std::string> m_calls;
    int m_bindCount = 0;
    HResult m_bindFailure = kSOk;
};
