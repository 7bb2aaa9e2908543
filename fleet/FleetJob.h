#pragma once

#include "ConnectFailure.h"
#include "ProgrammingCore.h"
#include "SiteFile.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

class TCTermLink;

// What happened to one terminal.
enum class Outcome {
    Ok,
    Refused,
    WrongKey,
    LockedOut,
    Unreachable,
    TimedOut,
    Mismatch,
    Error,
    NotStarted,
    Interrupted
};

// "ok", "refused", "wrong key", ... as in the report.
const char* outcomeName(Outcome outcome);

struct TerminalResult {
    Outcome outcome = Outcome::NotStarted;
    std::string error; // what went wrong: a failed connect's sentence, an error's text, ...
    std::vector<std::string> refused; // writes the terminal refused
    std::vector<std::string> mismatches; // what --verify read back differently
    std::vector<std::string> identity; // the identity lines Connect read
    std::optional<bool> enabledBefore;
    std::optional<bool> enabledAfter;
    bool afterReadBack = false; // enabledAfter was read back (--verify), not inferred
    bool restarted = false;
    std::chrono::milliseconds duration { 0 };
};

struct JobOptions {
    enum class Command { Program, Status } command = Command::Program;
    ScheduleSnapshot snapshot;
    bool restart = false;
    bool verify = false;
    int retries = 8;
};

// One terminal, exactly as the window does it: key, Connect and its read-out,
// then (program) the Update with this terminal's LockFunValue, the restart
// and the read-back. `stop` cuts the verify's waits short.
TerminalResult runJob(
    TCTermLink& link, const SiteTerminal& terminal, const JobOptions& options, const std::atomic<bool>& stop);

// The outcome for a connect the control refused with `cause`.
Outcome connectOutcome(ConnectFailure cause);
