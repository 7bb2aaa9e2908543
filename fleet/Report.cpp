#include "Report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>

using nlohmann::json;

namespace {

std::string seconds(std::chrono::milliseconds duration)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f s", static_cast<double>(duration.count()) / 1000.0);
    return buffer;
}

const char* stateText(const std::optional<bool>& enabled)
{
    return !enabled ? "-" : *enabled ? "ENABLED" : "DISABLED";
}

// The reason in a few words: the error text, the refused writes, or what the
// read-back found.
std::string detail(const TerminalResult& result)
{
    std::string text = result.error;
    const auto add = [&text](const std::vector<std::string>& items) {
        for (const auto& item : items)
            text += (text.empty() ? "" : "; ") + item;
    };
    add(result.refused);
    add(result.mismatches);
    return text;
}

} // namespace

std::string liveLine(const FleetRunner::Counts& counts, std::chrono::milliseconds elapsed)
{
    return "done " + std::to_string(counts.done) + "  failed " + std::to_string(counts.failed) + "  running "
        + std::to_string(counts.running) + "  left " + std::to_string(counts.left) + "  elapsed " + seconds(elapsed);
}

std::string finishedLine(const SiteTerminal& terminal, const TerminalResult& result)
{
    std::string line = terminal.name + "  " + terminal.address + "  " + outcomeName(result.outcome);
    if (const std::string why = detail(result); !why.empty())
        line += ": " + why;
    return line + "  " + seconds(result.duration);
}

std::string totalsLine(const std::vector<TerminalResult>& results, std::chrono::milliseconds elapsed)
{
    // In the order of Outcome, so the line reads the same every time.
    std::map<Outcome, int> counts;
    for (const auto& result : results)
        ++counts[result.outcome];
    std::string line = std::to_string(results.size()) + (results.size() == 1 ? " terminal" : " terminals") + " in "
        + seconds(elapsed) + ":";
    bool first = true;
    for (const auto& [outcome, count] : counts) {
        line += (first ? " " : ", ") + std::to_string(count) + " " + outcomeName(outcome);
        first = false;
    }
    return line;
}

void printSummary(std::ostream& out, const std::vector<SiteTerminal>& site, const std::vector<TerminalResult>& results,
    std::chrono::milliseconds elapsed)
{
    std::size_t nameWidth = 4;
    for (const auto& terminal : site)
        nameWidth = std::max(nameWidth, terminal.name.size());
    const auto pad = [](std::string text, std::size_t width) {
        text.resize(std::max(text.size(), width), ' ');
        return text;
    };
    out << pad("NAME", nameWidth) << "  " << pad("ADDRESS", 15) << "  " << pad("OUTCOME", 11) << "  "
        << pad("BEFORE", 8) << "  " << pad("AFTER", 8) << "  " << pad("TIME", 7) << "  DETAIL\n";
    for (std::size_t i = 0; i < site.size(); ++i) {
        const TerminalResult& r = results[i];
        out << pad(site[i].name, nameWidth) << "  " << pad(site[i].address, 15) << "  "
            << pad(outcomeName(r.outcome), 11) << "  " << pad(stateText(r.enabledBefore), 8) << "  "
            << pad(stateText(r.enabledAfter), 8) << "  "
            << pad(r.outcome == Outcome::NotStarted ? "-" : seconds(r.duration), 7) << "  " << detail(r) << "\n";
    }
    out << totalsLine(results, elapsed) << "\n";
}

json reportJson(const std::string& command, const std::vector<SiteTerminal>& site,
    const std::vector<TerminalResult>& results, std::chrono::milliseconds elapsed)
{
    const auto state = [](const std::optional<bool>& enabled) -> json {
        return enabled ? json(*enabled ? "ENABLED" : "DISABLED") : json(nullptr);
    };
    json terminals = json::array();
    json totals = json::object();
    for (std::size_t i = 0; i < site.size(); ++i) {
        const TerminalResult& r = results[i];
        json entry { { "name", site[i].name }, { "address", site[i].address }, { "outcome", outcomeName(r.outcome) },
            { "refused", r.refused }, { "identity", r.identity }, { "stateBefore", state(r.enabledBefore) },
            { "stateAfter", state(r.enabledAfter) }, { "stateAfterReadBack", r.afterReadBack },
            { "restarted", r.restarted }, { "durationMs", r.duration.count() } };
        if (!r.error.empty())
            entry["error"] = r.error;
        if (!r.mismatches.empty())
            entry["mismatches"] = r.mismatches;
        terminals.push_back(std::move(entry));
        totals[outcomeName(r.outcome)] = totals.value(outcomeName(r.outcome), 0) + 1;
    }
    return json { { "command", command }, { "elapsedMs", elapsed.count() }, { "totals", totals },
        { "terminals", terminals } };
}
