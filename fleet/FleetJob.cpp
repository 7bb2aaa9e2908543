#include "FleetJob.h"

#include "TCTermLink.h"
#include "TerminalConstants.h"
#include "Utf8.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The first pause before reconnecting to a restarting terminal; it doubles up to 4 s.
constexpr std::chrono::milliseconds kFirstBackoff { 250 };

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

// The control's own cause and sentence for a connect it refused.
TerminalResult failedConnect(const TCTermLink& link)
{
    const ConnectFailureInfo& failure = link.lastConnectFailure();
    TerminalResult result;
    result.outcome = connectOutcome(failure.cause);
    result.error = failure.text.empty() ? connectFailureName(failure.cause) : failure.text;
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
        if (!zoneWritten(options.snapshot, zone))
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
        // A terminal that refuses to restart does not take up what was written.
        result.restarted = link.RestartTerminal(kMachineNumber);
        if (!result.restarted) {
            result.refused.push_back("RestartTerminal()");
            result.outcome = Outcome::Refused;
            return;
        }
    }
    if (!options.verify) {
        result.outcome = Outcome::Ok;
        return;
    }
    // A restarting terminal refuses connections for a while: try again with a
    // growing pause.
    link.DisconnectTerminal();
    auto backoff = kFirstBackoff;
    for (int attempt = 0;; ++attempt) {
        if (connectTerminal(link, terminal))
            break;
        if (attempt >= options.retries || stop) {
            const TerminalResult failed = failedConnect(link);
            result.outcome = failed.outcome;
            result.error = "reconnecting to verify: " + failed.error;
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
    case Outcome::LockedOut:
        return "locked out";
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

Outcome connectOutcome(ConnectFailure cause)
{
    switch (cause) {
    case ConnectFailure::Unreachable:
        return Outcome::Unreachable;
    case ConnectFailure::TimedOut:
        return Outcome::TimedOut;
    case ConnectFailure::WrongKey:
        return Outcome::WrongKey;
    case ConnectFailure::LockedOut:
        return Outcome::LockedOut;
    case ConnectFailure::None:
    case ConnectFailure::InvalidAddress:
    case ConnectFailure::TerminalUnproven:
    case ConnectFailure::ProtocolVersion:
    case ConnectFailure::BrokenHandshake:
    case ConnectFailure::Unknown:
        break;
    }
    return Outcome::Error;
}

TerminalResult runJob(
    TCTermLink& link, const SiteTerminal& terminal, const JobOptions& options, const std::atomic<bool>& stop)
{
    const auto started = Clock::now();
    TerminalResult result;
    try {
        if (!connectTerminal(link, terminal)) {
            result = failedConnect(link);
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
        result.outcome = std::string_view(result.error).starts_with(kNoAnswerText) ? Outcome::TimedOut : Outcome::Error;
    }
    try {
        link.DisconnectTerminal();
    } catch (const std::exception&) {
        // Nothing more to tell: the outcome stands.
    }
    result.duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    return result;
}
