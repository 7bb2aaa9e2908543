#pragma once

#include "KeyExchange.h"
#include "Protocol.h"
#include "TerminalConstants.h"

#include <asio.hpp>

#include <chrono>
#include <optional>

// A bare protocol client for the simulator's socket tests: every wait is
// bounded, nothing is retried behind the test's back.
class TestClient {
public:
    using ms = std::chrono::milliseconds;

    TestClient()
        : m_socket(m_io)
    {
    }

    // Connects (bounded); false when refused or timed out. `from`, when
    // given, is the loopback source address, so one test can be many clients.
    bool connect(
        const std::string& address, std::uint16_t port = kTerminalPort, ms timeout = ms(3000), std::string from = {})
    {
        asio::error_code result = asio::error::would_block;
        m_socket = asio::ip::tcp::socket(m_io);
        m_in.clear();
        m_closed = false;
        m_cipher.reset();
        if (!from.empty()) {
            m_socket.open(asio::ip::tcp::v4());
            asio::error_code ec;
            m_socket.bind({ asio::ip::make_address_v4(from), 0 }, ec);
            if (ec) {
                return false;
            }
        }
        m_socket.async_connect(
            { asio::ip::make_address_v4(address), port }, [&result](asio::error_code ec) { result = ec; });
        if (!runUntil([&] { return result != asio::error::would_block; }, timeout) || result) {
            return false;
        }
        m_socket.set_option(asio::ip::tcp::no_delay(true));
        return true;
    }

    bool sendRaw(const std::vector<std::uint8_t>& bytes)
    {
        asio::error_code ec;
        asio::write(m_socket, asio::buffer(bytes), ec);
        return !ec;
    }
    // The frame for a message: sealed once the key check passed.
    std::vector<std::uint8_t> frame(const proto::Message& m) { return m_cipher ? m_cipher->seal(m) : proto::encode(m); }
    bool send(const proto::Message& m) { return sendRaw(frame(m)); }
    // What arrived but was not taken as a frame (an invalid one stays here).
    const std::vector<std::uint8_t>& unread() const { return m_in; }
    void dropUnread() { m_in.clear(); }

    // Writes as much of `bytes` as the socket takes without waiting; returns
    // how much that was.
    std::size_t sendWhatFits(const std::vector<std::uint8_t>& bytes)
    {
        asio::error_code ec;
        m_socket.non_blocking(true, ec);
        std::size_t sent = 0;
        while (!ec && sent < bytes.size()) {
            sent += m_socket.write_some(asio::buffer(bytes) + sent, ec);
        }
        m_socket.non_blocking(false, ec);
        return sent;
    }

    // The next whole frame, or nothing on timeout, close or an invalid frame.
    std::optional<proto::Message> receive(ms timeout = ms(3000))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto r = m_cipher ? m_cipher->open(m_in) : proto::decode(m_in);
            if (r.status == proto::DecodeStatus::Ok) {
                m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(r.consumed));
                return r.message;
            }
            if (r.status == proto::DecodeStatus::Invalid || m_closed) {
                return std::nullopt;
            }
            std::array<std::uint8_t, 4096> chunk {};
            bool done = false;
            asio::error_code ec;
            std::size_t n = 0;
            m_socket.async_read_some(asio::buffer(chunk), [&](asio::error_code e, std::size_t k) {
                ec = e;
                n = k;
                done = true;
            });
            const auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
            if (!runUntil([&] { return done; }, std::max(left, ms(0)))) {
                return std::nullopt;
            }
            if (ec) {
                m_closed = true;
                return std::nullopt;
            }
            m_in.insert(m_in.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }

    // True when the peer closes the link within `timeout`.
    bool closedByPeer(ms timeout = ms(3000))
    {
        while (receive(timeout)) { }
        return m_closed;
    }

    // The control's side of the key check, up to the AuthResult. Returns its
    // code (0 accepted) and reason, or nothing when the exchange broke down.
    // `recording`, when given, receives every frame this side sent.
    std::optional<std::pair<std::int32_t, std::string>> handshake(
        std::int32_t key, std::vector<std::vector<std::uint8_t>>* recording = nullptr)
    {
        const auto hello = receive();
        if (!hello || hello->kind != proto::Kind::Hello || hello->fields.size() != 1) {
            m_first = hello;
            return std::nullopt;
        }
        proto::ControlHandshake handshake(key);
        const auto sendRecorded = [&](const proto::Message& m) {
            const auto frame = proto::encode(m);
            if (recording) {
                recording->push_back(frame);
            }
            return sendRaw(frame);
        };
        const auto auth = handshake.answerHello(*hello);
        if (!auth || !sendRecorded(*auth)) {
            return std::nullopt;
        }
        const auto proof = receive();
        if (!proof || proof->kind != proto::Kind::Proof) {
            return authResult(proof);
        }
        if (!handshake.checkProof(*proof)) {
            sendRecorded(proto::ControlHandshake::mismatch());
            return authResult(receive());
        }
        sendRecorded(handshake.confirmation());
        m_cipher = handshake.cipher();
        return authResult(receive());
    }

    // The first message when it was not a Hello (a lockout refuses at once).
    const std::optional<proto::Message>& unexpectedFirst() const { return m_first; }

    static std::optional<std::pair<std::int32_t, std::string>> authResult(const std::optional<proto::Message>& m)
    {
        if (!m || m->kind != proto::Kind::AuthResult || m->fields.size() != 2) {
            return std::nullopt;
        }
        return std::pair { std::get<std::int32_t>(m->fields[0]), std::get<std::string>(m->fields[1]) };
    }

    std::optional<proto::ResponseFields> call(proto::Op op, std::vector<proto::Field> fields, ms timeout = ms(3000))
    {
        const std::uint32_t id = ++m_requestId;
        if (!send({ proto::Kind::Request, op, id, std::move(fields) })) {
            return std::nullopt;
        }
        const auto reply = receive(timeout);
        proto::ResponseFields f;
        if (!reply || reply->requestId != id || reply->op != op || !proto::readResponse(*reply, f)) {
            return std::nullopt;
        }
        return f;
    }

private:
    asio::io_context m_io;
    asio::ip::tcp::socket m_socket;
    std::vector<std::uint8_t> m_in;
    std::optional<proto::Message> m_first;
    std::optional<proto::SessionCipher> m_cipher;
    std::uint32_t m_requestId = 0;
    bool m_closed = false;

    template <typename Done> bool runUntil(Done done, ms timeout)
    {
        m_io.restart();
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done() && m_io.run_one_until(deadline) > 0) { }
        if (done()) {
            return true;
        }
        // Let the cancelled operation finish before its locals go away.
        asio::error_code ignored;
        m_socket.cancel(ignored);
        m_io.restart();
        m_io.run();
        return false;
    }
};
