#pragma once

#include "ConnectFailure.h"
#include "ITermLink.h"
#include "LatchwiseVersion.h"
#include "Protocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace termlink {

// What ReadSdkVersion answers: the control's own version, not the terminal's.
inline constexpr char16_t kVersionText[] = u"Latchwise termlink " LATCHWISE_VERSION;

// The bounds on every wait. The defaults are the ones the window relies on;
// tests shorten them to keep the suite quick.
struct LinkTimeouts {
    std::chrono::milliseconds connect { 3000 }; // the TCP connect
    std::chrono::milliseconds answer { 5000 }; // the key check, and each request's answer
};

// The network control: one link at a time to a terminal over TCP, driven
// synchronously from the caller's thread. Every wait is bounded, and nothing
// throws out of an operation: errors become a failure status with a
// description a person can read, and a broken link is dropped.
class NetworkTermLink final : public ITermLink {
public:
    explicit NetworkTermLink(LinkTimeouts timeouts = {});
    ~NetworkTermLink() override;
    NetworkTermLink(const NetworkTermLink&) = delete;
    NetworkTermLink& operator=(const NetworkTermLink&) = delete;

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

    bool isConnected() const;
    // The cause of the last failed ConnectNetwork, as its CallResult's status
    // and description carry it; cause None after a successful one.
    const ConnectFailureInfo& lastConnectFailure() const { return m_lastFailure; }

    // Called just before each TCP connect is started, with the address and
    // port; returning false stops that connect (ConnectNetwork returns false).
    // Lets tests prove that a refused address never reaches the network.
    using ConnectObserver = std::function<bool(const std::string& address, std::uint16_t port)>;
    void setConnectObserver(ConnectObserver observer) { m_connectObserver = std::move(observer); }

private:
    class Channel;

    template <typename Body> CallResult guarded(Body&& body);
    CallResult request(proto::Op op, std::vector<proto::Field> arguments, std::u16string* out);
    bool openLink(const std::u16string& ipAddress, std::int32_t port);
    bool keyCheck(const std::string& address);
    bool fail(ConnectFailure cause, std::string text);
    void dropLink();

    LinkTimeouts m_timeouts;
    std::unique_ptr<Channel> m_channel;
    ConnectObserver m_connectObserver;
    ConnectFailureInfo m_lastFailure;
    std::int32_t m_key = 0;
    std::uint32_t m_nextRequestId = 1;
};

// The object the library's factory hands out; it owns the control.
class NetworkTermLinkObject final : public ITermLinkObject {
public:
    explicit NetworkTermLinkObject(LinkTimeouts timeouts = {});
    HResult QueryTermLink(ITermLink** link) override;

private:
    NetworkTermLink m_link;
};

} // namespace termlink
