#pragma once

#include "ITermLink.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The wrapper the window holds around the control object. It binds ITermLink at
// the first operation and keeps the binding; every call's status is checked,
// and a failure is raised as std::runtime_error with a readable text (UTF-8).
// Out texts are always cleared before the call. A refused connect is not a
// failure: ConnectNetwork answers false and keeps the control's cause.
class TCTermLink {
public:
    explicit TCTermLink(std::unique_ptr<ITermLinkObject> object);
    ~TCTermLink();
    TCTermLink(const TCTermLink&) = delete;
    TCTermLink& operator=(const TCTermLink&) = delete;

    bool ReadSerialNumber(std::int32_t machineNumber, std::u16string& serialNumber);
    bool ReadProductName(std::int32_t machineNumber, std::u16string& productName);
    bool ReadFirmwareVersion(std::int32_t machineNumber, std::u16string& version);
    bool ReadSdkVersion(std::u16string& version);
    bool ConnectNetwork(const std::u16string& ipAddress, std::int32_t port);
    void DisconnectTerminal();
    bool SetCommKey(std::int32_t key);
    bool ReadTimeZone(std::int32_t machineNumber, std::int32_t index, std::u16string& text);
    bool WriteTimeZone(std::int32_t machineNumber, std::int32_t index, const std::u16string& text);
    bool ReadGroupText(std::int32_t machineNumber, std::int32_t group, std::u16string& text);
    bool WriteGroupNumber(std::int32_t machineNumber, std::int32_t group, std::int32_t number);
    bool RestartTerminal(std::int32_t machineNumber);
    bool ReadVendorName(std::u16string& vendor);
    bool ReadOption(std::int32_t machineNumber, const std::u16string& name, std::u16string& value);
    bool WriteOption(std::int32_t machineNumber, const std::u16string& name, const std::u16string& value);
    bool WriteUnlockCombination(std::int32_t machineNumber, std::int32_t c1, std::int32_t c2, std::int32_t c3,
        std::int32_t c4, std::int32_t c5, std::int32_t c6);
    bool IsColorTerminal(std::int32_t machineNumber);

    bool isBound() const { return m_link != nullptr; }
    // Why the last ConnectNetwork answered false, in the control's words; cause
    // None after one that connected or raised an error, and before any.
    const ConnectFailureInfo& lastConnectFailure() const { return m_lastConnectFailure; }

private:
    ITermLink& link();
    bool check(const CallResult& result);

    std::unique_ptr<ITermLinkObject> m_object;
    ITermLink* m_link = nullptr;
    ConnectFailureInfo m_lastConnectFailure;
};
