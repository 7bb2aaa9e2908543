#include "Termsim.h"

#include "Journal.h"
#include "RequestHandler.h"
#include "Server.h"
#include "TerminalState.h"

#include <asio/signal_set.hpp>
#include <sodium.h>

#include <charconv>
#include <csignal>
#include <ostream>
#include <stdexcept>

namespace {

template <typename T> T number(const std::string& option, const std::string& text, T min, T max)
{
    T value {};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc {} || end != text.data() + text.size() || value < min || value > max) {
        throw std::invalid_argument(option + " expects a whole number from " + std::to_string(min) + " to "
            + std::to_string(max) + ", not \"" + text + "\"");
    }
    return value;
}

} // namespace

std::string termsimUsage()
{
    return "usage: termsim --listen ADDR [--port 4370] --state FILE [--journal FILE] [--key N]\n"
           "               [--restart-ms MS] [--auth-timeout-ms MS] [--io-timeout-ms MS] [--no-sync]\n"
           "               [--max-connections N] [--max-pending-per-address N]\n"
           "               [--address-failures N] [--address-lockout-ms MS]\n"
           "               [--terminal-failures N] [--terminal-lockout-ms MS] [--fail RULE]...\n"
           "  --listen ADDR        dotted IPv4 address to listen on\n"
           "  --port PORT          TCP port (default 4370; 0 picks a free one)\n"
           "  --state FILE         terminal state (JSON), created with defaults when missing\n"
           "  --journal FILE       append one JSON line per connection event and request\n"
           "  --key N              communication key for this run (default: the state's key)\n"
           "  --restart-ms MS      how long RestartTerminal refuses connections (default 500)\n"
           "  --auth-timeout-ms MS drop a connection without a valid Auth after MS (default 2000)\n"
           "  --io-timeout-ms MS   bound on finishing a frame once begun and on each write (default 5000)\n"
           "  --no-sync            save the state without fsync (survives a kill, not a power cut)\n"
           "  --max-connections N  connections held at once (default 256)\n"
           "  --max-pending-per-address N\n"
           "                       connections from one address before their key check (default 8)\n"
           "  --address-failures N wrong keys from one address within a minute that lock it out (default 5)\n"
           "  --address-lockout-ms MS  how long that lockout lasts (default 30000)\n"
           "  --terminal-failures N    wrong keys from all addresses within a minute that lock\n"
           "                       every key check out (default 20)\n"
           "  --terminal-lockout-ms MS how long that lockout lasts (default 60000)\n"
           "  --fail RULE          OP[:ARG]=false | OP[:ARG]=error:TEXT | OP[:ARG]=hang | OP[:ARG]=drop\n"
           "                       (repeatable; the first matching rule wins)\n";
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
    if (!o.help && o.stateFile.empty()) {
        throw std::invalid_argument("--state FILE is required");
    }
    return o;
}

int runTermsim(const TermsimOptions& o, std::ostream& out, std::ostream& err)
{
    // A peer that vanishes mid-write must not kill the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    if (sodium_init() < 0) {
        err << "termsim: libsodium could not be initialised\n";
        return 1;
    }

    StateFile file(o.stateFile, o.sync);
    TerminalState state;
    Journal journal;
    try {
        state = file.load();
        if (!o.journalFile.empty()) {
            journal = Journal::openFile(o.journalFile);
        }
    } catch (const std::exception& e) {
        err << "termsim: " << e.what() << "\n";
        return 1;
    }

    RequestHandler handler(
        state, [&file](const TerminalState& s) { file.save(s); }, FaultRules(o.fails), journal);
    asio::io_context io;
    Server::Config config;
    config.address = asio::ip::make_address_v4(o.listen);
    config.port = o.port;
    config.key = o.key;
    config.restartPause = std::chrono::milliseconds(o.restartMs);
    config.authTimeout = std::chrono::milliseconds(o.authTimeoutMs);
    config.ioTimeout = std::chrono::milliseconds(o.ioTimeoutMs);
    config.maxConnections = static_cast<std::size_t>(o.maxConnections);
    config.maxUnauthenticatedPerAddress = static_cast<std::size_t>(o.maxPendingPerAddress);
    config.lockout.failures = o.addressFailures;
    config.lockout.lockFor = std::chrono::milliseconds(o.addressLockoutMs);
    config.lockout.terminalFailures = o.terminalFailures;
    config.lockout.terminalLockFor = std::chrono::milliseconds(o.terminalLockoutMs);
    Server server(io, config, state, handler, journal);
    try {
        server.start();
    } catch (const std::system_error& e) {
        err << "termsim: cannot listen on " << o.listen << ":" << o.port << ": " << e.code().message() << "\n";
        return 1;
    }

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&server](asio::error_code ec, int) {
        if (!ec) {
            server.stop();
        }
    });
    out << "termsim listening on " << o.listen << ":" << server.port() << std::endl;
    io.run();
    return 0;
}
