#pragma once

#include "FleetJob.h"
#include "FleetRunner.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <iosfwd>
#include <string>
#include <vector>

// What a person reads and what a program reads, from the same results.

// "done 40  failed 2  running 16  left 142  elapsed 3.2 s"
std::string liveLine(const FleetRunner::Counts& counts, std::chrono::milliseconds elapsed);

// One plain line for a finished terminal: name, address, outcome, details, time.
std::string finishedLine(const SiteTerminal& terminal, const TerminalResult& result);

// A table of every terminal, then the totals line.
void printSummary(std::ostream& out, const std::vector<SiteTerminal>& site, const std::vector<TerminalResult>& results,
    std::chrono::milliseconds elapsed);

// "20 terminals in 5.3 s: 16 ok, 2 refused, 1 wrong key, 1 timed out"
std::string totalsLine(const std::vector<TerminalResult>& results, std::chrono::milliseconds elapsed);

nlohmann::json reportJson(const std::string& command, const std::vector<SiteTerminal>& site,
    const std::vector<TerminalResult>& results, std::chrono::milliseconds elapsed);
