#include "FleetJob.h"

#include "TCTermLink.h"
#include "TerminalConstants.h"
#include "Utf8.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The control's bounds: 3 s to connect, 5 s per answer. A failure that took
// close to either was a wait that ran out.
constexpr std::chrono::milliseconds kSlowFailure { 2500 };
constexpr int kProbeMs = 1000;
constexpr std::string_view kNoAnswer = "The terminal did not answer within";

bool loopbackGuardRefuses(const std::string& address)
{
    const char* guard = std::getenv("LATCHWISE_LOOPBACK_ONLY");
    return guard && *guard && std::string_view(guard) != "0" && !address.starts_with("127.");
}

// Sleeps up to `duration`, waking early when `stop` is set.
void pause(std::chrono::milliseconds duration, const std::atomic<bool>& stop)
{
    const auto until = Clock::now() + duration;
    while (!stop && Clock::now() < until)
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), until - Clock::now()));
}

bool connectTerminal(TCTermLink& link, const SiteTerminal& terminal)
{
    link.SetCommKey(terminal.key);
    return link.ConnectNetwork(fromUtf8(terminal.address), kTerminalPort);
}

TerminalResult failedConnect(const SiteTerminal& terminal, std::chrono::milliseconds elapsed)
{
    TerminalResult result;
    result.outcome = classifyConnectFailure(terminal.address, elapsed);
    if (result.outcome == Outcome::Error)
        result.error = "the loopback guard (LATCHWISE_LOOPBACK_ONLY) refuses " + terminal.address;
    return result;
}

// What --verify reads back against what was written.
void verify(TCTermLink& link, const JobOptions& options, TerminalResult& result)
{
    const ConnectReadout readout = readConnectReadout(link);
    result.enabledAfter = readout.enabled;
    result.afterReadBack = true;
    if (readout.enabled != options.snapshot.enable) {
        result.mismatches.push_back(std::string("the function reads back ")
            + (readout.enabled ? (*readout.enabled ? "ENABLED" : "DISABLED") : "unreadable"));
    }
    if (!options.snapshot.enable)
        return; // Disable writes no time zones
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        if (zone > 1 && !options.snapshot.ticked.at(static_cast<std::size_t>(zone - 2)))
            continue;
        const std::string expected = zoneText(options.snapshot, zone);
        std::u16string text;
        const int index = schedule::terminalIndex(zone);
        if (!link.ReadTimeZone(kMachineNumber, index, text))
            result.mismatches.push_back("time zone " + std::to_string(index) + " could not be read");
        else if (toUtf8(text) != expected)
            result.mismatches.push_back(
                "time zone " + std::to_string(index) + " reads \"" + toUtf8(text) + "\", not \"" + expected + "\"");
    }
}

void program(TCTermLink& link, const SiteTerminal& terminal, const JobOptions& options, const std::atomic<bool>& stop,
    const ConnectReadout& readout, TerminalResult& result)
{
    ScheduleSnapshot snapshot = options.snapshot;
    snapshot.lockFunValue = readout.lockFunValue;
    const ProgrammingOutcome outcome = programTerminal(link, snapshot, nullptr);
    result.refused = outcome.refused;
    if (!outcome.succeeded()) {
        result.outcome = Outcome::Refused;
        link.DisconnectTerminal();
        return;
    }
    result.enabledAfter = options.snapshot.enable;
    if (options.restart) {
        link.RestartTerminal(kMachineNumber);
        result.restarted = true;
    }
    if (!options.verify) {
        result.outcome = Outcome::Ok;
        return;
    }
    // A restarting terminal refuses connections for a while: try again with a
    // growing pause.
    link.DisconnectTerminal();
    auto backoff = options.firstBackoff;
    for (int attempt = 0;; ++attempt) {
        const auto started = Clock::now();
        if (connectTerminal(link, terminal))
            break;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        if (attempt >= options.retries || stop) {
            const TerminalResult failed = failedConnect(terminal, elapsed);
            result.outcome = failed.outcome;
            result.error = "reconnecting to verify: " + std::string(outcomeName(failed.outcome));
            return;
        }
        pause(backoff, stop);
        backoff = std::min(backoff * 2, std::chrono::milliseconds(4000));
    }
    verify(link, options, result);
    result.outcome = result.mismatches.empty() ? Outcome::Ok : Outcome::Mismatch;
}

} // namespace

const char* outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Refused:
        return "refused";
    case Outcome::WrongKey:
        return "wrong key";
    case Outcome::Unreachable:
        return "unreachable";
    case Outcome::TimedOut:
        return "timed out";
    case Outcome::Mismatch:
        return "mismatch";
    case Outcome::Error:
        return "error";
    case Outcome::NotStarted:
        return "not started";
    case Outcome::Interrupted:
        return "interrupted";
    }
    return "error";
}

Outcome classifyConnectFailure(const std::string& address, std::chrono::milliseconds elapsed)
{
    if (loopbackGuardRefuses(address))
        return Outcome::Error;
    if (elapsed >= kSlowFailure)
        return Outcome::TimedOut;
    sockaddr_in peer {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(kTerminalPort));
    if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1)
        return Outcome::Unreachable;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Outcome::Error;
    // The cast is the sockets API's own.
    int rc = connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd pfd { fd, POLLOUT, 0 };
        rc = poll(&pfd, 1, kProbeMs);
        if (rc == 0) {
            close(fd);
            return Outcome::TimedOut;
        }
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        rc = error == 0 ? 0 : -1;
    }
    close(fd);
    // Something accepts on the port, yet the control could not get in: the
    // key check failed.
    return rc == 0 ? Outcome::WrongKey : Outcome::Unreachable;
}

TerminalResult runJob(
    TCTermLink& link, const SiteTerminal& terminal, const JobOptions& options, const std::atomic<bool>& stop)
{
    const auto started = Clock::now();
    TerminalResult result;
    try {
        if (!connectTerminal(link, terminal)) {
            result = failedConnect(
                terminal, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started));
        } else {
            const ConnectReadout readout = readConnectReadout(link);
            result.identity = readout.identityLines;
            result.enabledBefore = readout.enabled;
            if (options.command == JobOptions::Command::Status) {
                result.outcome = Outcome::Ok;
            } else {
                program(link, terminal, options, stop, readout, result);
            }
        }
    } catch (const std::exception& e) {
        result.error = e.what();
        result.outcome = std::string_view(result.error).starts_with(kNoAnswer) ? Outcome::TimedOut : Outcome::Error;
    }
    try {
        link.DisconnectTerminal();
    } catch (const std::exception&) {
        // Nothing more to tell: the outcome stands.
    }
    result.duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    return result;
}
