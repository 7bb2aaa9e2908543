#include "NetworkTermLink.h"

#include "Ipv4Address.h"
#include "KeyExchange.h"
#include "TerminalConstants.h"
#include "Utf8.h"

#include <asio.hpp>

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>
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
    LinkFailure(std::string text, bool deadlinePassed = false, std::optional<std::uint8_t> version = std::nullopt)
        : description(std::move(text))
        , timedOut(deadlinePassed)
        , peerVersion(version)
    {
    }
    std::string description;
    bool timedOut; // the key check reports a timeout apart from a broken link
    std::optional<std::uint8_t> peerVersion; // when the frame was of another version
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

// "N second(s)" for a bound.
std::string withinText(std::chrono::milliseconds bound)
{
    const std::string seconds = secondsText(bound);
    return seconds + (seconds == "1" ? " second" : " seconds");
}

std::string noAnswerText(std::chrono::milliseconds bound)
{
    return std::string(kNoAnswerText) + " " + withinText(bound);
}

const std::string kLostText = "The connection to the terminal was lost";

} // namespace

// One TCP link, used synchronously. The connect runs the I/O context until it
// completes or its deadline passes (then the socket is closed, which cancels
// it); sends and reads then block, bounded by the same kind of deadline.
class NetworkTermLink::Channel {
public:
    Channel()
        : m_socket(m_io)
    {
    }

    // None, or why the connect was refused, failed or did not finish in time.
    ConnectFailureInfo connect(const asio::ip::tcp::endpoint& endpoint, std::chrono::milliseconds bound)
    {
        asio::error_code result = asio::error::would_block;
        m_socket.async_connect(endpoint, [&](const asio::error_code& ec) { result = ec; });
        if (!runUntil(Clock::now() + bound, result)) {
            close();
            return { ConnectFailure::TimedOut,
                "The terminal did not accept the connection within " + withinText(bound) };
        }
        if (result) {
            close();
            return { ConnectFailure::Unreachable, "The terminal could not be reached (" + result.message() + ")" };
        }
        asio::error_code ignored;
        // Requests are small and answered one at a time: Nagle would hold each
        // one back until the previous answer's ACK.
        m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        // From here on blocking calls, bounded by the socket's timeouts.
        m_socket.non_blocking(false, ignored);
        m_ioTimeout = {};
        return {};
    }

    bool isOpen() const { return m_socket.is_open(); }

    void close()
    {
        asio::error_code ignored;
        m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
        m_inbox.clear();
        m_cipher.reset();
    }

    // From here on every frame is sealed both ways.
    void protect(proto::SessionCipher cipher) { m_cipher = std::move(cipher); }

    // The frame for a message: sealed once the key check passed. Throws
    // std::length_error, before anything is sent, when it breaks a bound.
    std::vector<std::uint8_t> frame(const proto::Message& message)
    {
        return m_cipher ? m_cipher->seal(message) : proto::encode(message);
    }

    // The whole frame goes out in one write, so it leaves in one segment.
    // After the connect the socket blocks, bounded by its send and receive
    // timeouts, so a request costs one send and one read: the I/O context's
    // speculative read and its reactor, or a poll(), each added a system call
    // to every round trip.
    void send(const std::vector<std::uint8_t>& frame, Clock::time_point deadline, std::chrono::milliseconds bound)
    {
        std::size_t sent = 0;
        while (sent < frame.size()) {
            boundWait(deadline, bound);
            const ssize_t n = ::send(m_socket.native_handle(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (n >= 0)
                sent += static_cast<std::size_t>(n);
            else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                throw LinkFailure { kLostText };
        }
    }

    proto::Message receive(Clock::time_point deadline, std::chrono::milliseconds bound)
    {
        for (;;) {
            proto::DecodeResult decoded = m_cipher ? m_cipher->open(m_inbox) : proto::decode(m_inbox);
            if (decoded.status == proto::DecodeStatus::Ok) {
                m_inbox.erase(m_inbox.begin(), m_inbox.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
                return std::move(decoded.message);
            }
            if (decoded.status == proto::DecodeStatus::Invalid) {
                std::optional<std::uint8_t> version;
                if (!m_cipher && decoded.version && *decoded.version != proto::kVersion)
                    version = decoded.version;
                throw LinkFailure { "The terminal sent a message that could not be read (" + decoded.error + ")", false,
                    version };
            }
            boundWait(deadline, bound);
            const ssize_t n = ::recv(m_socket.native_handle(), m_chunk.data(), m_chunk.size(), 0);
            if (n > 0)
                m_inbox.insert(m_inbox.end(), m_chunk.begin(), m_chunk.begin() + n);
            else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
                throw LinkFailure { kLostText };
            // On a timeout (EAGAIN) boundWait decides whether the deadline passed.
        }
    }

private:
    // Before a blocking send or read: past the deadline the link times out
    // (the caller drops it, so a late answer is never taken for the next
    // request's); otherwise the socket's timeouts are set to what is left, unless
    // they are within a few milliseconds of it already, which keeps the usual
    // request, whose deadline is always as far away, free of setsockopt.
    void boundWait(Clock::time_point deadline, std::chrono::milliseconds bound)
    {
        constexpr std::chrono::milliseconds kSlack { 5 };
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            throw LinkFailure { noAnswerText(bound), true };
        if (m_ioTimeout.count() > 0 && std::chrono::abs(m_ioTimeout - left) <= kSlack)
            return;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timeval tv { static_cast<time_t>(seconds.count()),
            static_cast<suseconds_t>(std::chrono::microseconds(left - seconds).count()) };
        const int fd = m_socket.native_handle();
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0
            || ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
            throw LinkFailure { kLostText };
        m_ioTimeout = left;
    }

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
    std::optional<proto::SessionCipher> m_cipher;
    std::chrono::milliseconds m_ioTimeout {}; // the socket's send and receive timeouts; 0: not set
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

bool NetworkTermLink::fail(ConnectFailure cause, std::string text)
{
    dropLink();
    m_lastFailure = { cause, std::move(text) };
    return false;
}

bool NetworkTermLink::openLink(const std::u16string& ipAddress, std::int32_t port)
{
    const std::string address = toUtf8(ipAddress);
    const std::optional<Ipv4Octets> octets = parseDottedQuad(address);
    if (!octets)
        return fail(ConnectFailure::InvalidAddress, "'" + address + "' is not a dotted IPv4 address");
    if (port < 1 || port > 65535)
        return fail(ConnectFailure::InvalidAddress, "Port " + std::to_string(port) + " is outside 1 to 65535");
    if (loopbackOnly() && !isLoopback(*octets))
        return fail(
            ConnectFailure::InvalidAddress, "Only loopback addresses may be used while LATCHWISE_LOOPBACK_ONLY is set");

    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4(*octets), static_cast<std::uint16_t>(port));
    if (m_connectObserver && !m_connectObserver(endpoint.address().to_string(), endpoint.port()))
        return fail(ConnectFailure::InvalidAddress, "The connection to " + address + " was not allowed");
    if (!m_channel)
        m_channel = std::make_unique<Channel>();
    if (ConnectFailureInfo failure = m_channel->connect(endpoint, m_timeouts.connect);
        failure.cause != ConnectFailure::None)
        return fail(failure.cause, std::move(failure.text));
    return keyCheck(address);
}

namespace {

// A refusal the terminal sent instead of going on with the key check.
std::optional<ConnectFailureInfo> refusal(const proto::Message& message)
{
    if (message.kind != proto::Kind::AuthResult)
        return std::nullopt;
    const auto* code = message.fields.size() == 2 ? std::get_if<std::int32_t>(&message.fields[0]) : nullptr;
    const auto* reason = message.fields.size() == 2 ? std::get_if<std::string>(&message.fields[1]) : nullptr;
    if (!code || !reason)
        return ConnectFailureInfo { ConnectFailure::BrokenHandshake, "The terminal's answer could not be read" };
    switch (static_cast<proto::AuthCode>(*code)) {
    case proto::AuthCode::Accepted:
        return ConnectFailureInfo {};
    case proto::AuthCode::LockedOut:
        return ConnectFailureInfo { ConnectFailure::LockedOut, *reason };
    case proto::AuthCode::WrongKey:
        break;
    }
    return ConnectFailureInfo { ConnectFailure::WrongKey,
        reason->empty() ? std::string("The terminal refused the communication key") : *reason };
}

} // namespace

// The terminal proves that it knows the key before the control does; a
// terminal that cannot is told only that its proof did not match, and gets
// nothing else.
bool NetworkTermLink::keyCheck(const std::string& address)
{
    const auto deadline = Clock::now() + m_timeouts.answer;
    bool toldMismatch = false;
    const auto unproven = [&] {
        return fail(ConnectFailure::TerminalUnproven,
            "The terminal at " + address + " could not prove that it knows the communication key");
    };
    try {
        // Only a refusal may come before the terminal has proved itself.
        const auto refusedEarly = [&](const ConnectFailureInfo& refused) {
            if (refused.cause == ConnectFailure::None)
                return fail(ConnectFailure::BrokenHandshake, "The terminal at " + address + " skipped the key check");
            return fail(refused.cause, refused.text);
        };
        proto::ControlHandshake handshake(m_key);
        const proto::Message hello = m_channel->receive(deadline, m_timeouts.answer);
        if (auto refused = refusal(hello))
            return refusedEarly(*refused);
        const auto auth = handshake.answerHello(hello);
        if (!auth)
            return fail(ConnectFailure::BrokenHandshake, "The terminal at " + address + " did not start the key check");
        m_channel->send(proto::encode(*auth), deadline, m_timeouts.answer);

        const proto::Message proof = m_channel->receive(deadline, m_timeouts.answer);
        if (auto refused = refusal(proof))
            return refusedEarly(*refused);
        if (!handshake.checkProof(proof)) {
            // Either our key is wrong or this is not the terminal; a real
            // terminal says which by refusing the key.
            toldMismatch = true;
            m_channel->send(proto::encode(proto::ControlHandshake::mismatch()), deadline, m_timeouts.answer);
            const proto::Message verdict = m_channel->receive(deadline, m_timeouts.answer);
            const auto refused = refusal(verdict);
            if (refused && (refused->cause == ConnectFailure::WrongKey || refused->cause == ConnectFailure::LockedOut))
                return fail(refused->cause, std::move(refused->text));
            return unproven();
        }
        m_channel->send(proto::encode(handshake.confirmation()), deadline, m_timeouts.answer);
        m_channel->protect(handshake.cipher());
        const proto::Message verdict = m_channel->receive(deadline, m_timeouts.answer);
        const auto result = refusal(verdict);
        if (!result)
            return fail(ConnectFailure::BrokenHandshake, "The terminal did not answer the key check");
        if (result->cause != ConnectFailure::None)
            return fail(result->cause, result->text);
    } catch (const LinkFailure& failure) {
        if (failure.peerVersion)
            return fail(ConnectFailure::ProtocolVersion,
                "The terminal speaks protocol version " + std::to_string(*failure.peerVersion)
                    + ", which this control does not support (it speaks version " + std::to_string(proto::kVersion)
                    + ")");
        if (toldMismatch)
            return unproven();
        if (failure.timedOut)
            return fail(ConnectFailure::TimedOut, failure.description + " during the key check");
        return fail(ConnectFailure::BrokenHandshake, "The key check failed: " + failure.description);
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
        frame = m_channel->frame(proto::Message { proto::Kind::Request, op, id, std::move(arguments) });
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
        m_lastFailure = {};
        if (openLink(ipAddress, port))
            return CallResult::ok(true);
        return CallResult::connectFailed(m_lastFailure.cause, fromUtf8(m_lastFailure.text));
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
