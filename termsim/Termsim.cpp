#include "Termsim.h"

#include "Journal.h"
#include "Number.h"
#include "RequestHandler.h"
#include "Server.h"
#include "TerminalState.h"

#include <asio/signal_set.hpp>
#include <sodium.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <ostream>
#include <stdexcept>

namespace {

template <typename T> T number(const std::string& option, const std::string& text, T min, T max)
{
    const auto value = parseInt32(text);
    if (!value || *value < min || *value > max) {
        throw std::invalid_argument(option + " expects a whole number from " + std::to_string(min) + " to "
            + std::to_string(max) + ", not \"" + text + "\"");
    }
    return static_cast<T>(*value);
}

} // namespace

std::string termsimUsage()
{
    namespace d = termsim_defaults;
    const auto dflt = [](int value) { return " (default " + std::to_string(value) + ")"; };
    return "usage: termsim --listen ADDR [--port 4370] (--state FILE | --count N --state-dir DIR) [--journal FILE]\n"
           "               [--key N] [--latency-ms MS] [--restart-ms MS] [--auth-timeout-ms MS]\n"
           "               [--io-timeout-ms MS] [--no-sync]\n"
           "               [--max-connections N] [--max-pending-per-address N]\n"
           "               [--address-failures N] [--address-lockout-ms MS]\n"
           "               [--terminal-failures N] [--terminal-lockout-ms MS] [--fail RULE]...\n"
           "  --listen ADDR        dotted IPv4 address to listen on (a site's first terminal)\n"
           "  --port PORT          TCP port (default 4370; 0 picks a free one, one terminal only)\n"
           "  --state FILE         terminal state (JSON), created with defaults when missing\n"
           "  --count N            a site of N terminals on consecutive addresses from --listen\n"
           "  --state-dir DIR      a site's state files, one per terminal named ADDR.json\n"
           "  --latency-ms MS      answer each request after MS, like a real terminal (default 0)\n"
           "  --journal FILE       append one JSON line per connection event and request\n"
           "  --key N              communication key for this run (default: the state's key)\n"
           "  --restart-ms MS      how long RestartTerminal refuses connections"
        + dflt(d::kRestartMs)
        + "\n"
          "  --auth-timeout-ms MS drop a connection without a valid Auth after MS"
        + dflt(d::kAuthTimeoutMs)
        + "\n"
          "  --io-timeout-ms MS   bound on finishing a frame once begun and on each write"
        + dflt(d::kIoTimeoutMs)
        + "\n"
          "  --no-sync            save the state without fsync (survives a kill, not a power cut)\n"
          "  --max-connections N  connections held at once"
        + dflt(d::kMaxConnections)
        + "\n"
          "  --max-pending-per-address N\n"
          "                       connections from one address before their key check"
        + dflt(d::kMaxPendingPerAddress)
        + "\n"
          "  --address-failures N wrong keys from one address within a minute that lock it out"
        + dflt(d::kAddressFailures)
        + "\n"
          "  --address-lockout-ms MS  how long that lockout lasts"
        + dflt(d::kAddressLockoutMs)
        + "\n"
          "  --terminal-failures N    wrong keys from all addresses within a minute that lock\n"
          "                       every key check out"
        + dflt(d::kTerminalFailures)
        + "\n"
          "  --terminal-lockout-ms MS how long that lockout lasts"
        + dflt(d::kTerminalLockoutMs)
        + "\n"
          "  --fail RULE          [ADDR@]OP[:ARG]=false | error:TEXT | hang | drop | ignore\n"
          "                       (repeatable; the first matching rule wins; ADDR@ names one terminal)\n";
}

TermsimOptions parseTermsimOptions(const std::vector<std::string>& args)
{
    TermsimOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
            inlineValue = option.substr(eq + 1);
            option.resize(eq);
        }
        if (option == "--help" || option == "-h") {
            o.help = true;
            continue;
        }
        if (option == "--no-sync" && !inlineValue) {
            o.sync = false;
            continue;
        }
        const auto value = [&]() -> std::string {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= args.size()) {
                throw std::invalid_argument(option + " expects a value");
            }
            return args[++i];
        };
        if (option == "--listen") {
            o.listen = value();
            asio::error_code ec;
            // make_address_v4 takes only the four-part dotted form.
            asio::ip::make_address_v4(o.listen, ec);
            if (ec) {
                throw std::invalid_argument(
                    "--listen expects a dotted IPv4 address such as 127.0.0.1, not \"" + o.listen + "\"");
            }
        } else if (option == "--port") {
            o.port = number<std::uint16_t>(option, value(), 0, 65535);
        } else if (option == "--state") {
            o.stateFile = value();
        } else if (option == "--state-dir") {
            o.stateDir = value();
        } else if (option == "--count") {
            o.count = number<int>(option, value(), 1, 65536);
        } else if (option == "--latency-ms") {
            o.latencyMs = number<int>(option, value(), 0, 600000);
        } else if (option == "--journal") {
            o.journalFile = value();
        } else if (option == "--key") {
            o.key = number<std::int32_t>(option, value(), INT32_MIN, INT32_MAX);
        } else if (option == "--restart-ms") {
            o.restartMs = number<int>(option, value(), 0, 600000);
        } else if (option == "--auth-timeout-ms") {
            o.authTimeoutMs = number<int>(option, value(), 1, 600000);
        } else if (option == "--io-timeout-ms") {
            o.ioTimeoutMs = number<int>(option, value(), 1, 600000);
        } else if (option == "--max-connections") {
            o.maxConnections = number<int>(option, value(), 1, 65536);
        } else if (option == "--max-pending-per-address") {
            o.maxPendingPerAddress = number<int>(option, value(), 1, 65536);
        } else if (option == "--address-failures") {
            o.addressFailures = number<int>(option, value(), 1, 1000000);
        } else if (option == "--address-lockout-ms") {
            o.addressLockoutMs = number<int>(option, value(), 0, 86400000);
        } else if (option == "--terminal-failures") {
            o.terminalFailures = number<int>(option, value(), 1, 1000000);
        } else if (option == "--terminal-lockout-ms") {
            o.terminalLockoutMs = number<int>(option, value(), 0, 86400000);
        } else if (option == "--fail") {
            o.fails.push_back(parseFaultRule(value()));
        } else {
            throw std::invalid_argument("unknown option \"" + args[i] + "\"");
        }
    }
    if (!o.help && o.listen.empty()) {
        throw std::invalid_argument("--listen ADDR is required");
    }
    if (o.help) {
        return o;
    }
    if (o.stateFile.empty() == o.stateDir.empty()) {
        throw std::invalid_argument("give either --state FILE (one terminal) or --state-dir DIR (a site)");
    }
    if (o.count > 1 && o.stateDir.empty()) {
        throw std::invalid_argument("--count N needs --state-dir DIR: each terminal keeps its own state");
    }
    if (o.count > 1 && o.port == 0) {
        throw std::invalid_argument("--port 0 works for one terminal only");
    }
    const auto first = asio::ip::make_address_v4(o.listen).to_uint();
    if (static_cast<std::uint64_t>(first) + static_cast<std::uint64_t>(o.count - 1) > 0xFFFFFFFFu) {
        throw std::invalid_argument("--count " + std::to_string(o.count) + " runs past 255.255.255.255");
    }
    for (const auto& rule : o.fails) {
        if (!rule.terminal) {
            continue;
        }
        const auto at = asio::ip::make_address_v4(*rule.terminal).to_uint();
        if (at < first || at - first >= static_cast<std::uint32_t>(o.count)) {
            throw std::invalid_argument("--fail names " + *rule.terminal + ", which is not a terminal of this run");
        }
    }
    return o;
}

std::string siteAddress(const TermsimOptions& options, int index)
{
    const auto first = asio::ip::make_address_v4(options.listen).to_uint();
    return asio::ip::address_v4(first + static_cast<std::uint32_t>(index)).to_string();
}

namespace {

// One simulated terminal of the run: its state, its file, its journal view,
// its request handler and its listener, all on the one io_context.
struct Terminal {
    Terminal(std::string at, const std::string& path, bool sync, Journal view)
        : address(std::move(at))
        , file(path, sync)
        , journal(std::move(view))
    {
    }

    std::string address;
    StateFile file;
    TerminalState state;
    Journal journal;
    std::unique_ptr<RequestHandler> handler;
    std::unique_ptr<Server> server;
};

// A site needs a descriptor per listener on top of its connections.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int runTermsim(const TermsimOptions& o, std::ostream& out, std::ostream& err)
{
    // A peer that vanishes mid-write must not kill the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    if (sodium_init() < 0) {
        err << "termsim: libsodium could not be initialised\n";
        return 1;
    }
    const bool site = !o.stateDir.empty();
    if (site) {
        raiseDescriptorLimit();
    }

    // Declared first, so that the servers and their timers go before it.
    asio::io_context io;
    Journal journal;
    std::vector<std::unique_ptr<Terminal>> terminals;
    try {
        if (!o.journalFile.empty()) {
            journal = Journal::openFile(o.journalFile);
        }
        if (site) {
            std::filesystem::create_directories(o.stateDir);
        }
        for (int i = 0; i < o.count; ++i) {
            const std::string address = siteAddress(o, i);
            const std::string path
                = site ? (std::filesystem::path(o.stateDir) / (address + ".json")).string() : o.stateFile;
            auto terminal = std::make_unique<Terminal>(
                address, path, o.sync, site ? journal.forTerminal(address) : journal.forTerminal({}));
            terminal->state = terminal->file.load();
            terminals.push_back(std::move(terminal));
        }
    } catch (const std::exception& e) {
        err << "termsim: " << e.what() << "\n";
        return 1;
    }

    const FaultRules rules(o.fails);
    for (auto& t : terminals) {
        t->handler = std::make_unique<RequestHandler>(
            t->state, [file = &t->file](const TerminalState& s) { file->save(s); }, rules.forTerminal(t->address),
            t->journal);
        Server::Config config;
        config.address = asio::ip::make_address_v4(t->address);
        config.port = o.port;
        config.key = o.key;
        config.restartPause = std::chrono::milliseconds(o.restartMs);
        config.authTimeout = std::chrono::milliseconds(o.authTimeoutMs);
        config.ioTimeout = std::chrono::milliseconds(o.ioTimeoutMs);
        config.answerDelay = std::chrono::milliseconds(o.latencyMs);
        config.maxConnections = static_cast<std::size_t>(o.maxConnections);
        config.maxUnauthenticatedPerAddress = static_cast<std::size_t>(o.maxPendingPerAddress);
        config.lockout.failures = o.addressFailures;
        config.lockout.lockFor = std::chrono::milliseconds(o.addressLockoutMs);
        config.lockout.terminalFailures = o.terminalFailures;
        config.lockout.terminalLockFor = std::chrono::milliseconds(o.terminalLockoutMs);
        t->server = std::make_unique<Server>(io, config, t->state, *t->handler, t->journal);
        try {
            t->server->start();
        } catch (const std::system_error& e) {
            err << "termsim: cannot listen on " << t->address << ":" << o.port << ": " << e.code().message() << "\n";
            return 1;
        }
    }

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&terminals](asio::error_code ec, int) {
        if (!ec) {
            for (auto& t : terminals) {
                t->server->stop();
            }
        }
    });
    out << "termsim listening on " << terminals.front()->address << ":" << terminals.front()->server->port();
    if (terminals.size() > 1) {
        out << " to " << terminals.back()->address << ":" << o.port << " (" << terminals.size() << " terminals)";
    }
    out << std::endl;
    io.run();
    return 0;
}
