#include "Server.h"

#include "Journal.h"
#include "KeyExchange.h"
#include "Protocol.h"
#include "RequestHandler.h"
#include "TerminalState.h"

#include <asio/read.hpp>
#include <asio/write.hpp>

#include <array>
#include <deque>
#include <functional>
#include <iostream>
#include <optional>

using asio::ip::tcp;
using nlohmann::json;

namespace {

constexpr auto kDrainTime = std::chrono::seconds(1);

} // namespace

// One connection: the key check, then requests and responses in order.
class Server::Session : public std::enable_shared_from_this<Session> {
public:
    Session(Server& server, tcp::socket socket, std::uint64_t id)
        : m_server(server)
        , m_socket(std::move(socket))
        , m_readTimer(server.m_io)
        , m_writeTimer(server.m_io)
        , m_id(id)
        , m_handshake(server.key())
    {
        asio::error_code ec;
        const auto peer = m_socket.remote_endpoint(ec);
        if (!ec) {
            m_address = peer.address().to_string();
            m_peer = m_address + ":" + std::to_string(peer.port());
        }
    }

    const std::string& address() const { return m_address; }
    // Not yet past the key check (or refused at it): the connections that
    // admission may drop.
    bool authenticated() const { return m_authenticated; }

    void start(const Lockout::State& lockout)
    {
        m_server.connectionEvent({ { "event", "accept" }, { "connection", m_id }, { "peer", m_peer } });
        asio::error_code ignored;
        m_socket.set_option(tcp::no_delay(true), ignored);
        // Answers are first tried with a plain write (see send); reads stay
        // asynchronous either way.
        m_socket.non_blocking(true, ignored);
        if (lockout) {
            refuseLockedOut(lockout);
            read();
            return;
        }
        send(m_handshake.hello());
        armReadTimer(m_server.m_config.authTimeout, "no valid Auth in time");
        read();
    }

    // Closes at once, answering nothing more.
    void close(const std::string& reason)
    {
        if (m_phase == Phase::Closed) {
            return;
        }
        // A peer that got our Proof has had its guess, whether or not it
        // confirms: count it, or guessing without confirming would be free.
        if (m_phase == Phase::AwaitConfirm && !m_server.m_stopped && !m_server.m_restarting) {
            recordFailedKeyCheck("key check abandoned");
        }
        m_phase = Phase::Closed;
        asio::error_code ignored;
        m_socket.close(ignored);
        m_readTimer.cancel();
        m_writeTimer.cancel();
        log({ { "event", "close" }, { "connection", m_id }, { "reason", reason } });
        m_server.forget(m_id);
    }

    // Sends what is queued, then closes after the peer has seen it. Reading
    // on until the peer closes (bounded) avoids a reset that could discard
    // the last answer before the peer reads it.
    void closeAfterWrites(const std::string& reason)
    {
        if (m_phase == Phase::Closed || m_phase == Phase::Closing) {
            return;
        }
        m_phase = Phase::Closing;
        m_closeReason = reason.empty() ? "closed" : reason;
        if (!m_writing) {
            finishClosing();
        }
    }

private:
    enum class Phase { AwaitAuth, AwaitConfirm, Ready, Closing, Closed };
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        bool thenRestart = false;
        std::size_t sent = 0; // what a first, partial write already took
        std::size_t left() const { return bytes.size() - sent; }
    };

    Server& m_server;
    tcp::socket m_socket;
    asio::steady_timer m_readTimer;
    asio::steady_timer m_writeTimer;
    std::uint64_t m_id;
    std::string m_address;
    std::string m_peer;
    Phase m_phase = Phase::AwaitAuth;
    proto::TerminalHandshake m_handshake;
    std::optional<proto::SessionCipher> m_cipher; // once the key check passed
    std::uint8_t m_wireVersion = proto::kVersion;
    std::vector<std::uint8_t> m_in;
    std::array<std::uint8_t, 4096> m_chunk {};
    std::deque<Outgoing> m_out;
    std::size_t m_outBytes = 0; // not yet taken by the socket, over all of m_out
    bool m_writing = false;
    bool m_authenticated = false;
    bool m_readPaused = false; // the output queue is full: requests wait unread
    bool m_drainStarted = false;
    bool m_readDeadlineArmed = false;
    std::uint64_t m_readTimerGeneration = 0;
    std::uint64_t m_writeGeneration = 0;
    std::string m_closeReason;

    // What happens on this connection goes to the journal once it passed the
    // key check; before that, through the flood-limited connection events.
    void log(const json& entry)
    {
        if (m_authenticated) {
            m_server.m_journal.write(entry);
        } else {
            m_server.connectionEvent(entry);
        }
    }

    void refuseLockedOut(const Lockout::State& lockout)
    {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(lockout.remaining).count();
        const bool terminalWide = lockout.terminalWide;
        log({ { "event", "locked_out" }, { "connection", m_id }, { "peer", m_peer }, { "address", m_address },
            { "terminalWide", terminalWide } });
        const std::string who = terminalWide ? "" : " from " + m_address;
        send(proto::authResult(proto::AuthCode::LockedOut,
            "Too many wrong keys" + who + "; try again in " + std::to_string(seconds) + " seconds"));
        closeAfterWrites("locked out");
    }

    bool outputFull() const { return m_outBytes >= m_server.m_config.maxQueuedBytes; }

    void read()
    {
        m_socket.async_read_some(asio::buffer(m_chunk),
            [self = shared_from_this()](asio::error_code ec, std::size_t n) { self->onRead(ec, n); });
    }

    void onRead(asio::error_code ec, std::size_t n)
    {
        if (m_phase == Phase::Closed) {
            return;
        }
        if (ec) {
            if (m_phase == Phase::Closing) {
                close(m_closeReason);
            } else {
                close(ec == asio::error::eof ? "peer closed" : "read failed: " + ec.message());
            }
            return;
        }
        if (m_phase == Phase::Closing) {
            read(); // draining: whatever comes now is ignored
            return;
        }
        m_in.insert(m_in.end(), m_chunk.begin(), m_chunk.begin() + static_cast<std::ptrdiff_t>(n));
        processInput();
    }

    // Answers the whole frames received, then reads on, unless the answers
    // pile up unread: then the rest waits in m_in and the socket is not read
    // until the queue drains, so a client that never reads costs a bounded
    // amount of memory (and the write deadline closes it).
    void processInput()
    {
        std::size_t used = 0;
        while ((m_phase == Phase::AwaitAuth || m_phase == Phase::AwaitConfirm || m_phase == Phase::Ready)
            && !outputFull()) {
            const auto input = std::span(m_in).subspan(used);
            const auto result = m_cipher ? m_cipher->open(input) : proto::decode(input);
            if (result.status == proto::DecodeStatus::NeedMore) {
                break;
            }
            if (result.status == proto::DecodeStatus::Invalid) {
                if (!m_cipher && result.version && *result.version != proto::kVersion) {
                    refuseVersion(*result.version);
                } else {
                    protocolError(result.error);
                }
                return;
            }
            used += result.consumed;
            dispatch(result.message);
        }
        if (m_phase == Phase::Closed) {
            return;
        }
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(used));
        if (outputFull() && m_phase != Phase::Closing) {
            m_readPaused = true;
            if (m_phase == Phase::Ready && m_readDeadlineArmed) {
                cancelReadTimer(); // the write deadline bounds this wait
            }
            return;
        }
        if (m_phase == Phase::Ready) {
            // A frame once begun must be finished in time; an idle link may
            // wait as long as the installer likes.
            if (m_in.empty()) {
                if (m_readDeadlineArmed) {
                    cancelReadTimer();
                }
            } else if (!m_readDeadlineArmed) {
                armReadTimer(m_server.m_config.ioTimeout, "frame not finished in time");
            }
        }
        read();
    }

    void protocolError(const std::string& error)
    {
        log({ { "event", "protocol_error" }, { "connection", m_id }, { "error", error } });
        close("protocol error: " + error);
    }

    // A peer of another version gets a refusal it can read, in its own
    // version's framing, and the connection closes. It has passed no key
    // check, so its line is flood-limited like any other such.
    void refuseVersion(std::uint8_t version)
    {
        const std::string error = proto::unsupportedVersionText(version);
        log({ { "event", "protocol_error" }, { "connection", m_id }, { "error", error } });
        m_wireVersion = version;
        send(proto::versionRefusal(version));
        closeAfterWrites(error);
    }

    void dispatch(const proto::Message& message)
    {
        if (m_phase == Phase::AwaitAuth) {
            answerAuth(message);
            return;
        }
        if (m_phase == Phase::AwaitConfirm) {
            checkKey(message);
            return;
        }
        if (message.kind != proto::Kind::Request) {
            protocolError("expected a Request");
            return;
        }
        auto outcome = m_server.m_handler.handle(message, m_id);
        switch (outcome.action) {
        case RequestHandler::Outcome::Action::Respond:
            if (m_server.m_config.answerDelay.count() > 0) {
                sendLater(std::move(outcome.response), outcome.restart);
            } else {
                send(outcome.response, outcome.restart);
            }
            break;
        case RequestHandler::Outcome::Action::Hang:
            break; // never answered; later requests still are
        case RequestHandler::Outcome::Action::Drop:
            close("drop fault");
            break;
        }
    }

    // Each Proof lets its peer test one key, so none is given out during a
    // lockout.
    bool refuseIfLockedOut()
    {
        // Another connection from this address may have started a lockout
        // while this one was in its handshake.
        if (const auto lockout = m_server.m_lockout.check(m_address, Lockout::Clock::now())) {
            refuseLockedOut(lockout);
            return true;
        }
        return false;
    }

    void answerAuth(const proto::Message& auth)
    {
        if (refuseIfLockedOut()) {
            return;
        }
        auto proof = m_handshake.answerAuth(auth);
        if (!proof) {
            protocolError("expected Auth with a nonce, a valid share and an AEAD this terminal has");
            return;
        }
        m_phase = Phase::AwaitConfirm;
        send(*proof);
    }

    void checkKey(const proto::Message& confirm)
    {
        const auto verdict = m_handshake.checkConfirm(confirm);
        if (verdict == proto::TerminalHandshake::Verdict::Malformed) {
            protocolError("expected Confirm with one bytes field");
            return;
        }
        // A control that confirmed the key reads every answer from here on
        // sealed, refusals included.
        if (verdict == proto::TerminalHandshake::Verdict::Proved) {
            m_cipher = m_handshake.cipher();
        }
        if (refuseIfLockedOut()) {
            return;
        }
        if (verdict == proto::TerminalHandshake::Verdict::WrongKey) {
            recordFailedKeyCheck("wrong key");
            send(proto::authResult(proto::AuthCode::WrongKey, "Wrong communication key"));
            closeAfterWrites("wrong key"); // no longer awaiting, so not counted again
            return;
        }
        cancelReadTimer();
        m_phase = Phase::Ready;
        m_authenticated = true;
        m_server.m_journal.write({ { "event", "auth_ok" }, { "connection", m_id }, { "peer", m_peer } });
        send(proto::authResult(proto::AuthCode::Accepted, {}));
    }

    void recordFailedKeyCheck(const char* why)
    {
        const bool locked = m_server.m_lockout.recordFailure(m_address, Lockout::Clock::now());
        m_server.m_journal.write({ { "event", "auth_failed" }, { "connection", m_id }, { "peer", m_peer },
            { "address", m_address }, { "lockedOut", locked }, { "reason", why } });
    }

    // A timer per answer, so a slow terminal keeps serving its other
    // connections (and the site its other terminals) meanwhile.
    void sendLater(proto::Message response, bool thenRestart)
    {
        auto timer = std::make_shared<asio::steady_timer>(m_server.m_io, m_server.m_config.answerDelay);
        timer->async_wait(
            [self = shared_from_this(), timer, response = std::move(response), thenRestart](asio::error_code ec) {
                if (!ec && self->m_phase == Phase::Ready) {
                    self->send(response, thenRestart);
                }
            });
    }

    // Each message goes out as one write of its whole frame. With nothing
    // queued, a plain write takes it at once (an answer is far smaller than
    // the socket's buffer), so the common case needs no asynchronous write
    // and no deadline. Only what the socket could not take waits, bounded by
    // the write deadline; an error is left for that write to report.
    void send(const proto::Message& message, bool thenRestart = false)
    {
        Outgoing out { m_cipher ? m_cipher->seal(message) : proto::encode(message, proto::kMaxFrame, m_wireVersion),
            thenRestart };
        if (!m_writing && m_out.empty() && m_phase != Phase::Closed) {
            asio::error_code ec;
            out.sent = m_socket.write_some(asio::buffer(out.bytes), ec);
            if (!ec && out.sent == out.bytes.size()) {
                sent(thenRestart);
                return;
            }
        }
        m_outBytes += out.left();
        m_out.push_back(std::move(out));
        if (!m_writing) {
            writeNext();
        }
    }

    void writeNext()
    {
        if (m_out.empty() || m_phase == Phase::Closed) {
            return;
        }
        m_writing = true;
        const auto generation = ++m_writeGeneration;
        m_writeTimer.expires_after(m_server.m_config.ioTimeout);
        m_writeTimer.async_wait([weak = weak_from_this(), generation](asio::error_code ec) {
            auto self = weak.lock();
            if (!ec && self && self->m_writing && generation == self->m_writeGeneration) {
                self->close("write not finished in time");
            }
        });
        const Outgoing& front = m_out.front();
        asio::async_write(m_socket, asio::buffer(front.bytes) + front.sent,
            [self = shared_from_this()](asio::error_code ec, std::size_t) { self->onWritten(ec); });
    }

    void onWritten(asio::error_code ec)
    {
        m_writing = false;
        m_writeTimer.cancel();
        if (m_phase == Phase::Closed) {
            return;
        }
        if (ec) {
            close("write failed: " + ec.message());
            return;
        }
        const bool restart = m_out.front().thenRestart;
        m_outBytes -= m_out.front().left();
        m_out.pop_front();
        sent(restart);
    }

    // A whole message has gone out.
    void sent(bool thenRestart)
    {
        if (thenRestart) {
            m_server.beginRestart(m_id);
            return;
        }
        if (!m_out.empty()) {
            writeNext();
        } else if (m_phase == Phase::Closing) {
            finishClosing();
        }
        if (m_readPaused && !outputFull() && m_phase != Phase::Closed) {
            m_readPaused = false;
            processInput();
        }
    }

    void finishClosing()
    {
        if (m_drainStarted || m_phase == Phase::Closed) {
            return;
        }
        m_drainStarted = true;
        asio::error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_send, ignored);
        armReadTimer(kDrainTime, m_closeReason);
        if (m_readPaused) {
            m_readPaused = false;
            read(); // the drain reads until the peer closes
        }
    }

    void armReadTimer(std::chrono::steady_clock::duration after, std::string reason)
    {
        const auto generation = ++m_readTimerGeneration;
        m_readDeadlineArmed = true;
        m_readTimer.expires_after(after);
        m_readTimer.async_wait([weak = weak_from_this(), generation, reason = std::move(reason)](asio::error_code ec) {
            auto self = weak.lock();
            if (!ec && self && generation == self->m_readTimerGeneration) {
                self->close(reason);
            }
        });
    }

    void cancelReadTimer()
    {
        ++m_readTimerGeneration;
        m_readDeadlineArmed = false;
        m_readTimer.cancel();
    }
};

Server::Server(
    asio::io_context& io, Config config, const TerminalState& state, RequestHandler& handler, Journal& journal)
    : m_io(io)
    , m_config(config)
    , m_state(state)
    , m_handler(handler)
    , m_journal(journal)
    , m_acceptor(io)
    , m_pauseTimer(io)
    , m_summaryTimer(io)
    , m_lockout(config.lockout)
{
}

Server::~Server() = default;

std::int32_t Server::key() const
{
    return m_config.key.value_or(m_state.key);
}

void Server::start()
{
    listen();
    m_boundPort = m_acceptor.local_endpoint().port();
    m_journal.write({ { "event", "listen" }, { "address", m_config.address.to_string() }, { "port", m_boundPort } });
    accept();
}

void Server::listen()
{
    const tcp::endpoint endpoint(m_config.address, m_boundPort ? m_boundPort : m_config.port);
    tcp::acceptor acceptor(m_io);
    acceptor.open(endpoint.protocol());
    // A restarted simulator must get its port back while old connections
    // linger in TIME_WAIT.
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    m_acceptor = std::move(acceptor);
}

void Server::accept()
{
    m_acceptor.async_accept([this](asio::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || m_stopped || m_restarting) {
            return;
        }
        if (ec) {
            // Out of descriptors or similar: try again shortly rather than spin.
            std::cerr << "termsim: accept failed: " << ec.message() << std::endl;
            m_pauseTimer.expires_after(std::chrono::milliseconds(100));
            m_pauseTimer.async_wait([this](asio::error_code wait) {
                if (!wait && !m_stopped && !m_restarting) {
                    accept();
                }
            });
            return;
        }
        if (const char* refusal = admit(socket)) {
            asio::error_code ignored;
            socket.close(ignored);
            connectionEvent({ { "event", "refused" }, { "reason", refusal } });
        } else {
            const auto id = m_nextId++;
            auto session = std::make_shared<Session>(*this, std::move(socket), id);
            m_sessions.emplace(id, session);
            session->start(m_lockout.check(session->address(), Lockout::Clock::now()));
        }
        accept();
    });
}

// Idle connections that never pass the key check must not keep a real client
// out: each address may hold only a few of them, and a full table drops its
// oldest one for the newcomer. Returns why the connection is refused, or
// nothing when it may have a slot.
const char* Server::admit(const tcp::socket& socket)
{
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec) {
        return "peer already gone";
    }
    const auto address = peer.address().to_string();
    std::size_t fromAddress = 0;
    std::shared_ptr<Session> oldest;
    for (const auto& [id, session] : m_sessions) {
        if (session->authenticated()) {
            continue;
        }
        if (!oldest) {
            oldest = session; // the map is in accept order
        }
        fromAddress += session->address() == address ? 1 : 0;
    }
    if (fromAddress >= m_config.maxUnauthenticatedPerAddress) {
        return "too many connections from one address without a key check";
    }
    if (m_sessions.size() < m_config.maxConnections) {
        return nullptr;
    }
    if (!oldest) {
        return "too many connections";
    }
    oldest->close("dropped for a newer connection");
    return nullptr;
}

// Lines about connections that have not passed the key check: a flood of them
// must not flood the journal. The first few each second are written as they
// come; the rest are counted and summed up in one line at the end of the second.
void Server::connectionEvent(const json& entry)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - m_eventWindowStart >= std::chrono::seconds(1)) {
        writeSummary();
        m_eventWindowStart = now;
        m_eventsInWindow = 0;
    }
    if (m_eventsInWindow < m_config.connectionEventsPerSecond) {
        ++m_eventsInWindow;
        m_journal.write(entry);
        return;
    }
    std::string what = entry.value("event", "");
    if (const auto reason = entry.find("reason"); reason != entry.end()) {
        what += ": " + reason->get<std::string>();
    }
    ++m_suppressed[what];
    if (m_suppressed.size() == 1 && m_suppressed.begin()->second == 1) {
        m_summaryTimer.expires_at(m_eventWindowStart + std::chrono::seconds(1));
        m_summaryTimer.async_wait([this](asio::error_code ec) {
            if (!ec) {
                writeSummary();
            }
        });
    }
}

void Server::writeSummary()
{
    if (m_suppressed.empty()) {
        return;
    }
    json counts = json::object();
    std::uint64_t total = 0;
    for (const auto& [what, count] : m_suppressed) {
        counts[what] = count;
        total += count;
    }
    m_journal.write({ { "event", "summary" }, { "suppressed", total }, { "counts", counts } });
    m_suppressed.clear();
}

void Server::beginRestart(std::uint64_t requester)
{
    if (m_restarting || m_stopped) {
        return;
    }
    m_restarting = true;
    m_journal.write({ { "event", "restart" }, { "pauseMs", m_config.restartPause.count() } });
    // Closing the listener makes connection attempts fail at once, as with a
    // terminal that is rebooting.
    asio::error_code ignored;
    m_acceptor.close(ignored);
    auto sessions = m_sessions;
    for (auto& [id, session] : sessions) {
        if (id == requester) {
            session->closeAfterWrites("restart");
        } else {
            session->close("restart");
        }
    }
    m_pauseTimer.expires_after(m_config.restartPause);
    m_pauseTimer.async_wait([this](asio::error_code ec) {
        if (!ec && !m_stopped) {
            resume();
        }
    });
}

void Server::resume()
{
    try {
        listen();
    } catch (const std::system_error& e) {
        std::cerr << "termsim: cannot listen again after the restart: " << e.what() << "; retrying" << std::endl;
        m_pauseTimer.expires_after(std::chrono::milliseconds(100));
        m_pauseTimer.async_wait([this](asio::error_code ec) {
            if (!ec && !m_stopped) {
                resume();
            }
        });
        return;
    }
    m_restarting = false;
    m_journal.write({ { "event", "resume" } });
    accept();
}

void Server::stop()
{
    if (m_stopped) {
        return;
    }
    m_stopped = true;
    asio::error_code ignored;
    m_acceptor.close(ignored);
    m_pauseTimer.cancel();
    auto sessions = m_sessions;
    for (auto& [id, session] : sessions) {
        session->close("stop");
    }
    m_summaryTimer.cancel();
    writeSummary();
    m_journal.write({ { "event", "stop" } });
}

void Server::forget(std::uint64_t id)
{
    m_sessions.erase(id);
}
