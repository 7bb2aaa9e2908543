#include "NetworkTermLink.h"

#include "Ipv4Address.h"
#include "KeyCheck.h"
#include "Utf8.h"

#include <asio.hpp>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <utility>

namespace termlink {

namespace {

using Clock = std::chrono::steady_clock;

// Raised inside the control when the link can no longer be trusted; each
// operation turns it into a failure status and drops the link.
struct LinkFailure {
    std::string description;
};

std::string secondsText(std::chrono::milliseconds bound)
{
    char buffer[32];
    if (bound.count() % 1000 == 0)
        std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(bound.count() / 1000));
    else
        std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(bound.count()) / 1000.0);
    return buffer;
}

std::string noAnswerText(std::chrono::milliseconds bound)
{
    const std::string seconds = secondsText(bound);
    return "The terminal did not answer within " + seconds + (seconds == "1" ? " second" : " seconds");
}

const std::string kLostText = "The connection to the terminal was lost";

} // namespace

// One TCP link, used synchronously: each step starts an asynchronous operation
// and runs the I/O context until it completes or its deadline passes; on a
// deadline the socket is closed, which cancels the operation.
class NetworkTermLink::Channel {
public:
    Channel()
        : m_socket(m_io)
    {
    }

    // False when the connect is refused, fails or does not finish in time.
    bool connect(const asio::ip::tcp::endpoint& endpoint, Clock::time_point deadline)
    {
        asio::error_code result = asio::error::would_block;
        m_socket.async_connect(endpoint, [&](const asio::error_code& ec) { result = ec; });
        if (!runUntil(deadline, result) || result) {
            close();
            return false;
        }
        asio::error_code ignored;
        // Requests are small and answered one at a time: Nagle would hold each
        // one back until the previous answer's ACK.
        m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        return true;
    }

    bool isOpen() const { return m_socket.is_open(); }

    void close()
    {
        asio::error_code ignored;
        m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
        m_inbox.clear();
    }

    // The whole frame goes out in one write, so it leaves in one segment.
    void send(const std::vector<std::uint8_t>& frame, Clock::time_point deadline, std::chrono::milliseconds bound)
    {
        asio::error_code result = asio::error::would_block;
        asio::async_write(m_socket, asio::buffer(frame), [&](const asio::error_code& ec, std::size_t) { result = ec; });
        if (!runUntil(deadline, result))
            throw LinkFailure { noAnswerText(bound) };
        if (result)
            throw LinkFailure { kLostText };
    }

    proto::Message receive(Clock::time_point deadline, std::chrono::milliseconds bound)
    {
        for (;;) {
            proto::DecodeResult decoded = proto::decode(m_inbox);
            if (decoded.status == proto::DecodeStatus::Ok) {
                m_inbox.erase(m_inbox.begin(), m_inbox.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
                return std::move(decoded.message);
            }
            if (decoded.status == proto::DecodeStatus::Invalid)
                throw LinkFailure { "The terminal sent a message that could not be read (" + decoded.error + ")" };

            asio::error_code result = asio::error::would_block;
            std::size_t received = 0;
            m_socket.async_read_some(asio::buffer(m_chunk), [&](const asio::error_code& ec, std::size_t n) {
                result = ec;
                received = n;
            });
            if (!runUntil(deadline, result))
                throw LinkFailure { noAnswerText(bound) };
            if (result)
                throw LinkFailure { kLostText };
            m_inbox.insert(m_inbox.end(), m_chunk.begin(), m_chunk.begin() + static_cast<std::ptrdiff_t>(received));
        }
    }

private:
    // True when the started operation completed before the deadline; its
    // handler sets `result` from would_block to its outcome. One handler runs
    // per step, so run_one_until returns as soon as it has, without polling
    // the reactor once more.
    bool runUntil(Clock::time_point deadline, const asio::error_code& result)
    {
        m_io.restart();
        while (result == asio::error::would_block) {
            if (m_io.run_one_until(deadline) == 0)
                break;
        }
        if (result != asio::error::would_block)
            return true;
        // Out of time: cancel by closing, then let the cancelled handler run
        // so that nothing refers to this call's locals afterwards.
        asio::error_code ignored;
        m_socket.close(ignored);
        m_io.restart();
        m_io.run();
        m_inbox.clear();
        return false;
    }

    // Only ever run from the caller's thread: no locking needed inside Asio.
    asio::io_context m_io { ASIO_CONCURRENCY_HINT_UNSAFE_IO };
    asio::ip::tcp::socket m_socket;
    std::vector<std::uint8_t> m_inbox;
    std::array<std::uint8_t, 4096> m_chunk {};
};

// The boundary of the library: nothing thrown inside may reach the caller.
template <typename Body> CallResult NetworkTermLink::guarded(Body&& body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        try {
            dropLink();
            return CallResult::failure(kEUnexpected, fromUtf8(std::string("The terminal control failed: ") + e.what()));
        } catch (...) {
        }
    } catch (...) {
    }
    return CallResult::failure(kEUnexpected);
}

NetworkTermLink::NetworkTermLink(LinkTimeouts timeouts)
    : m_timeouts(timeouts)
{
}

NetworkTermLink::~NetworkTermLink()
{
    try {
        dropLink();
    } catch (...) {
    }
}

bool NetworkTermLink::isConnected() const
{
    return m_channel && m_channel->isOpen();
}

void NetworkTermLink::dropLink()
{
    if (m_channel)
        m_channel->close();
}

bool NetworkTermLink::openLink(const std::u16string& ipAddress, std::int32_t port)
{
    const std::optional<Ipv4Octets> octets = parseDottedQuad(toUtf8(ipAddress));
    if (!octets || port < 1 || port > 65535)
        return false;
    if (loopbackOnly() && !isLoopback(*octets))
        return false;

    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4(*octets), static_cast<std::uint16_t>(port));
    if (m_connectObserver && !m_connectObserver(endpoint.address().to_string(), endpoint.port()))
        return false;
    if (!m_channel)
        m_channel = std::make_unique<Channel>();
    if (!m_channel->connect(endpoint, Clock::now() + m_timeouts.connect))
        return false;

    try {
        const auto deadline = Clock::now() + m_timeouts.answer;
        const proto::Message hello = m_channel->receive(deadline, m_timeouts.answer);
        const auto* nonce = hello.fields.size() == 1 ? std::get_if<proto::Bytes>(&hello.fields[0]) : nullptr;
        if (hello.kind != proto::Kind::Hello || !nonce || nonce->data.size() != proto::kNonceSize) {
            dropLink();
            return false;
        }
        const proto::Mac code = proto::keyCheckMac(m_key, nonce->data);
        const proto::Message auth { proto::Kind::Auth, proto::Op::None, 0,
            { proto::Bytes { std::vector<std::uint8_t>(code.begin(), code.end()) } } };
        m_channel->send(proto::encode(auth), deadline, m_timeouts.answer);
        const proto::Message verdict = m_channel->receive(deadline, m_timeouts.answer);
        const auto* accepted = verdict.fields.empty() ? nullptr : std::get_if<std::int32_t>(&verdict.fields[0]);
        if (verdict.kind != proto::Kind::AuthResult || !accepted || *accepted != 0) {
            dropLink();
            return false;
        }
    } catch (const LinkFailure&) {
        dropLink();
        return false;
    }
    return true;
}

CallResult NetworkTermLink::request(proto::Op op, std::vector<proto::Field> arguments, std::u16string* out)
{
    if (!isConnected())
        return CallResult::ok(false);

    const std::uint32_t id = m_nextRequestId++;
    std::vector<std::uint8_t> frame;
    try {
        frame = proto::encode(proto::Message { proto::Kind::Request, op, id, std::move(arguments) });
    } catch (const std::length_error&) {
        // Nothing was sent, so the link is still good.
        return CallResult::failure(kEInvalidArg, u"The text is too long for the terminal (at most 4096 bytes)");
    }

    try {
        const auto deadline = Clock::now() + m_timeouts.answer;
        m_channel->send(frame, deadline, m_timeouts.answer);
        const proto::Message response = m_channel->receive(deadline, m_timeouts.answer);
        if (response.kind != proto::Kind::Response || response.requestId != id || response.op != op)
            throw LinkFailure { "The terminal answered a different request" };
        proto::ResponseFields fields;
        if (!proto::readResponse(response, fields))
            throw LinkFailure { "The terminal sent an answer that could not be read" };
        if (failed(fields.status))
            return CallResult::failure(fields.status, fromUtf8(fields.description));
        if (out)
            *out = fromUtf8(fields.out);
        // The terminal's 16-bit boolean passes through as it stands.
        return CallResult { fields.status, static_cast<std::int16_t>(static_cast<std::uint16_t>(fields.result)), {} };
    } catch (const LinkFailure& failure) {
        dropLink();
        return CallResult::failure(kEFail, fromUtf8(failure.description));
    }
}

CallResult NetworkTermLink::ReadSerialNumber(std::int32_t machineNumber, std::u16string& serialNumber)
{
    return guarded([&] { return request(proto::Op::ReadSerialNumber, { machineNumber }, &serialNumber); });
}

CallResult NetworkTermLink::ReadProductName(std::int32_t machineNumber, std::u16string& productName)
{
    return guarded([&] { return request(proto::Op::ReadProductName, { machineNumber }, &productName); });
}

CallResult NetworkTermLink::ReadFirmwareVersion(std::int32_t machineNumber, std::u16string& version)
{
    return guarded([&] { return request(proto::Op::ReadFirmwareVersion, { machineNumber }, &version); });
}

CallResult NetworkTermLink::ReadSdkVersion(std::u16string& version)
{
    return guarded([&] {
        version = kVersionText;
        return CallResult::ok(true);
    });
}

CallResult NetworkTermLink::ConnectNetwork(const std::u16string& ipAddress, std::int32_t port)
{
    return guarded([&] {
        // A new connect always replaces the old link, even when it fails.
        dropLink();
        return CallResult::ok(openLink(ipAddress, port));
    });
}

CallResult NetworkTermLink::DisconnectTerminal()
{
    return guarded([&] {
        dropLink();
        return CallResult::ok(true);
    });
}

CallResult NetworkTermLink::SetCommKey(std::int32_t key)
{
    m_key = key;
    return CallResult::ok(true);
}

CallResult NetworkTermLink::ReadTimeZone(std::int32_t machineNumber, std::int32_t index, std::u16string& text)
{
    return guarded([&] { return request(proto::Op::ReadTimeZone, { machineNumber, index }, &text); });
}

CallResult NetworkTermLink::WriteTimeZone(std::int32_t machineNumber, std::int32_t index, const std::u16string& text)
{
    return guarded([&] { return request(proto::Op::WriteTimeZone, { machineNumber, index, toUtf8(text) }, nullptr); });
}

CallResult NetworkTermLink::ReadGroupText(std::int32_t machineNumber, std::int32_t group, std::u16string& text)
{
    return guarded([&] { return request(proto::Op::ReadGroupText, { machineNumber, group }, &text); });
}

CallResult NetworkTermLink::WriteGroupNumber(std::int32_t machineNumber, std::int32_t group, std::int32_t number)
{
    return guarded([&] { return request(proto::Op::WriteGroupNumber, { machineNumber, group, number }, nullptr); });
}

CallResult NetworkTermLink::RestartTerminal(std::int32_t machineNumber)
{
    return guarded([&] {
        CallResult result = request(proto::Op::RestartTerminal, { machineNumber }, nullptr);
        // A terminal that agreed to restart closes the link from its side.
        if (!failed(result.status) && result.value != 0)
            dropLink();
        return result;
    });
}

CallResult NetworkTermLink::ReadVendorName(std::u16string& vendor)
{
    return guarded([&] { return request(proto::Op::ReadVendorName, {}, &vendor); });
}

CallResult NetworkTermLink::ReadOption(std::int32_t machineNumber, const std::u16string& name, std::u16string& value)
{
    return guarded([&] { return request(proto::Op::ReadOption, { machineNumber, toUtf8(name) }, &value); });
}

CallResult NetworkTermLink::WriteOption(
    std::int32_t machineNumber, const std::u16string& name, const std::u16string& value)
{
    return guarded([&] {
        return request(proto::Op::WriteOption, { machineNumber, toUtf8(name), toUtf8(value) }, nullptr);
    });
}

CallResult NetworkTermLink::WriteUnlockCombination(std::int32_t machineNumber, std::int32_t c1, std::int32_t c2,
    std::int32_t c3, std::int32_t c4, std::int32_t c5, std::int32_t c6)
{
    return guarded([&] {
        return request(proto::Op::WriteUnlockCombination, { machineNumber, c1, c2, c3, c4, c5, c6 }, nullptr);
    });
}

CallResult NetworkTermLink::IsColorTerminal(std::int32_t machineNumber)
{
    return guarded([&] { return request(proto::Op::IsColorTerminal, { machineNumber }, nullptr); });
}

NetworkTermLinkObject::NetworkTermLinkObject(LinkTimeouts timeouts)
    : m_link(timeouts)
{
}

HResult NetworkTermLinkObject::QueryTermLink(ITermLink** link)
{
    if (!link)
        return kEInvalidArg;
    *link = &m_link;
    return kSOk;
}

} // namespace termlink
