#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/address_v4.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Defaults.h"
#include "Lockout.h"
#include "TerminalConstants.h"

#include <nlohmann/json_fwd.hpp>

class Journal;
class RequestHandler;
struct TerminalState;

// The simulator's network side: accepts connections, runs the key check on
// each, passes requests to the RequestHandler and writes its answers, and
// pauses while the terminal restarts. Single-threaded: everything runs on the
// io_context given.
class Server {
public:
    struct Config {
        asio::ip::address_v4 address = asio::ip::address_v4::loopback();
        std::uint16_t port = kTerminalPort;
        std::optional<std::int32_t> key; // overrides the state's key
        std::chrono::milliseconds restartPause { termsim_defaults::kRestartMs };
        std::chrono::milliseconds authTimeout { termsim_defaults::kAuthTimeoutMs };
        std::chrono::milliseconds ioTimeout { termsim_defaults::kIoTimeoutMs };
        std::size_t maxConnections = termsim_defaults::kMaxConnections;
        std::chrono::milliseconds answerDelay { 0 }; // each answer waits this long, like a real terminal
        std::size_t maxUnauthenticatedPerAddress = termsim_defaults::kMaxPendingPerAddress;
        std::size_t maxQueuedBytes = 64 * 1024; // answers per connection not yet taken by the socket
        int connectionEventsPerSecond = 50; // journal lines before they are only counted
        Lockout::Policy lockout;
    };

    Server(asio::io_context& io, Config config, const TerminalState& state, RequestHandler& handler, Journal& journal);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens; throws std::system_error when it cannot.
    void start();
    // Closes the listener and every connection; the io_context then runs dry.
    void stop();
    // The port actually bound (useful when the config asked for 0).
    std::uint16_t port() const { return m_boundPort; }

private:
    class Session;
    friend class Session;

    asio::io_context& m_io;
    Config m_config;
    const TerminalState& m_state;
    RequestHandler& m_handler;
    Journal& m_journal;
    asio::ip::tcp::acceptor m_acceptor;
    asio::steady_timer m_pauseTimer;
    asio::steady_timer m_summaryTimer;
    Lockout m_lockout;
    std::chrono::steady_clock::time_point m_eventWindowStart {};
    int m_eventsInWindow = 0;
    std::map<std::string, std::uint64_t> m_suppressed; // per event (and reason), this second
    std::map<std::uint64_t, std::shared_ptr<Session>> m_sessions;
    std::uint64_t m_nextId = 1;
    std::uint16_t m_boundPort = 0;
    bool m_restarting = false;
    bool m_stopped = false;

    void listen();
    void accept();
    const char* admit(const asio::ip::tcp::socket& socket);
    void connectionEvent(const nlohmann::json& entry);
    void writeSummary();
    void beginRestart(std::uint64_t requester);
    void resume();
    void forget(std::uint64_t id);
    std::int32_t key() const;
};
