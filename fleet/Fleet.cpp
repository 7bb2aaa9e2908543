#include "Fleet.h"

#include "FleetRunner.h"
#include "LatchwiseVersion.h"
#include "Report.h"
#include "ScheduleFile.h"
#include "SettingsStore.h"
#include "SiteFile.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kUsage = 2;

struct Settings {
    std::string site;
    std::string schedule;
    bool fromStore = false;
    bool disable = false;
    bool forceClose = false;
    int jobs = 16;
    bool restart = false;
    bool verify = false;
    int retries = 8;
    std::string report;
};

// The whole file; nullopt after printing why it cannot be read.
std::optional<std::string> readFile(const std::string& path, std::ostream& err)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        err << "latchwise-fleet: cannot read " << path << ": it is a folder\n";
        return std::nullopt;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err << "latchwise-fleet: cannot read " << path << ": " << std::strerror(errno ? errno : ENOENT) << "\n";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        err << "latchwise-fleet: cannot read " << path << "\n";
        return std::nullopt;
    }
    return text.str();
}

// Checked before any terminal is contacted: a report that cannot be written
// would otherwise be found out only after the whole site was programmed.
bool canWriteReport(const std::string& path, std::ostream& err)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        err << "latchwise-fleet: cannot write the report " << path << ": it is a folder\n";
        return false;
    }
    const std::string temp = path + ".tmp";
    errno = 0;
    if (!std::ofstream(temp, std::ios::binary | std::ios::trunc)) {
        err << "latchwise-fleet: cannot write the report " << path << ": " << std::strerror(errno ? errno : EACCES)
            << "\n";
        return false;
    }
    std::filesystem::remove(temp, ec);
    return true;
}

// Written beside and renamed over, so a reader never sees half a report.
bool writeReport(const std::string& path, const json& report, std::ostream& err)
{
    const std::string temp = path + ".tmp";
    std::error_code ec;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << report.dump(2) << "\n";
        if (!out.flush()) {
            err << "latchwise-fleet: cannot write the report " << path << "\n";
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        err << "latchwise-fleet: cannot write the report " << path << ": " << ec.message() << "\n";
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

std::filesystem::path executableDir()
{
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : self.parent_path();
}

// The schedule from the file or the store, with the command line's choices,
// checked as the window checks before an Update. nullopt after printing why.
std::optional<ScheduleSnapshot> loadSchedule(const Settings& s, std::ostream& err)
{
    ScheduleSnapshot snapshot;
    std::vector<std::string> errors;
    std::string source;
    if (!s.schedule.empty()) {
        source = s.schedule;
        const auto text = readFile(s.schedule, err);
        if (!text)
            return std::nullopt;
        ScheduleParse parsed = parseSchedule(*text);
        snapshot = parsed.snapshot;
        errors = std::move(parsed.errors);
    } else if (s.fromStore) {
        source = "the settings store";
        try {
            SettingsStore store(settingsDatabasePath());
            snapshot = scheduleFromStore(store);
        } catch (const std::exception& e) {
            err << "latchwise-fleet: cannot read the settings store: " << e.what() << "\n";
            return std::nullopt;
        }
    } else if (!s.disable) {
        err << "latchwise-fleet: program needs --schedule FILE or --from-store (or --disable)\n";
        return std::nullopt;
    }
    if (s.disable)
        snapshot.enable = false;
    if (s.forceClose)
        snapshot.forceOpen = false;
    if (errors.empty() && snapshot.enable)
        errors = checkFourDigits(snapshot);
    for (const auto& error : errors)
        err << "latchwise-fleet: " << source << ": " << error << "\n";
    if (!errors.empty())
        return std::nullopt;
    return snapshot;
}

std::optional<std::vector<SiteTerminal>> loadSite(const std::string& path, std::ostream& err)
{
    const auto text = readFile(path, err);
    if (!text)
        return std::nullopt;
    SiteParse site = parseSite(*text);
    for (const auto& error : site.errors)
        err << "latchwise-fleet: " << path << ": " << error << "\n";
    if (!site.errors.empty())
        return std::nullopt;
    if (const auto warning = siteFileWarning(path, site.terminals))
        err << "latchwise-fleet: warning: " << *warning << "\n";
    return std::move(site.terminals);
}

FleetExit runSite(const std::string& command, const std::vector<SiteTerminal>& site, JobOptions options,
    const Settings& s, std::ostream& out, std::ostream& err, const std::atomic<int>& interrupts, bool tty)
{
    const auto started = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started); };
    auto runner
        = std::make_unique<FleetRunner>(site, std::move(options), s.jobs, libraryTermLinkFactory(executableDir()));

    // Only this thread takes SIGINT; the workers never see it.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    runner->start();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    bool stopping = false;
    bool abandoned = false;
    const auto clearLine = [&] {
        if (tty)
            out << "\r\033[K";
    };
    while (!runner->allFinished()) {
        const auto finished = runner->waitFinished(std::chrono::milliseconds(100));
        const int seen = interrupts.load();
        if (seen >= 1 && !stopping) {
            stopping = true;
            runner->stopStarting();
            clearLine();
            out << "Interrupted: no new terminal is started; the running ones finish. Ctrl-C again stops at once."
                << std::endl;
        }
        if (seen >= 2) {
            runner->stopWaiting();
            abandoned = true;
            break;
        }
        if (tty) {
            out << "\r\033[K" << liveLine(runner->counts(), elapsed()) << std::flush;
        } else {
            for (const auto index : finished)
                out << finishedLine(site[index], runner->result(index)) << "\n";
            out << std::flush;
        }
    }
    if (!abandoned) {
        runner->join();
        if (!tty) {
            for (const auto index : runner->waitFinished(std::chrono::milliseconds(0)))
                out << finishedLine(site[index], runner->result(index)) << "\n";
        }
    }
    const std::vector<TerminalResult> results = runner->results();
    clearLine();
    if (tty)
        printSummary(out, site, results, elapsed());
    else
        out << totalsLine(results, elapsed()) << "\n";
    if (abandoned) {
        out << "Stopped at once. Terminals marked interrupted may be partly programmed:";
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (results[i].outcome == Outcome::Interrupted)
                out << " " << site[i].name << " (" << site[i].address << ")";
        }
        out << "\n";
    }
    out << std::flush;

    bool allOk = true;
    for (const auto& result : results)
        allOk = allOk && result.outcome == Outcome::Ok;
    if (!s.report.empty() && !writeReport(s.report, reportJson(command, site, results, elapsed()), err))
        allOk = false;
    if (abandoned) {
        // The workers still hold the runner; the caller ends the process.
        runner.release();
        return { 1, true };
    }
    return { allOk ? 0 : 1, false };
}

} // namespace

FleetExit runFleet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
    const std::atomic<int>& interrupts, bool stdoutIsTty)
{
    CLI::App app { "Programs the permanent open/close function of many terminals at once.", "latchwise-fleet" };
    app.set_version_flag("--version", std::string("latchwise-fleet ") + kLatchwiseVersion);
    app.require_subcommand(1);
    Settings s;

    auto* program = app.add_subcommand("program", "Program every terminal of the site with one schedule");
    program->add_option("--site", s.site, "Site file: CSV with name,address,key")->required();
    auto* scheduleOption = program->add_option("--schedule", s.schedule, "Schedule file (JSON, see docs/fleet.md)");
    auto* storeOption = program->add_flag("--from-store", s.fromStore, "The schedule last saved by the window");
    scheduleOption->excludes(storeOption);
    program->add_flag("--disable", s.disable, "Disable Force Open/Close");
    program->add_flag("--force-close", s.forceClose, "Force Close instead of Force Open");
    program->add_option("--jobs", s.jobs, "Terminals at a time")->check(CLI::Range(1, 256))->capture_default_str();
    program->add_flag("--restart", s.restart, "Restart each terminal that was programmed");
    program->add_flag("--verify", s.verify, "Connect again and read the state and the time zones back");
    program->add_option("--retries", s.retries, "Connect attempts while a terminal restarts, for --verify")
        ->check(CLI::Range(0, 100))
        ->capture_default_str();
    program->add_option("--report", s.report, "Write a JSON report to this file");

    auto* status = app.add_subcommand("status", "Read each terminal's identity and state, writing nothing");
    status->add_option("--site", s.site, "Site file: CSV with name,address,key")->required();
    status->add_option("--jobs", s.jobs, "Terminals at a time")->check(CLI::Range(1, 256))->capture_default_str();
    status->add_option("--report", s.report, "Write a JSON report to this file");

    auto* exportSchedule
        = app.add_subcommand("export-schedule", "Write the schedule saved by the window as a schedule file");

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return { code == 0 ? 0 : kUsage, false };
    }

    if (exportSchedule->parsed()) {
        try {
            SettingsStore store(settingsDatabasePath());
            json schedule = scheduleToJson(scheduleFromStore(store));
            // The store keeps the times, not the window's choices.
            schedule.erase("enable");
            schedule.erase("forceOpen");
            out << schedule.dump(2) << std::endl;
            return { 0, false };
        } catch (const std::exception& e) {
            err << "latchwise-fleet: cannot read the settings store: " << e.what() << "\n";
            return { 1, false };
        }
    }

    const auto site = loadSite(s.site, err);
    if (!site)
        return { kUsage, false };
    JobOptions options;
    if (program->parsed()) {
        const auto snapshot = loadSchedule(s, err);
        if (!snapshot)
            return { kUsage, false };
        options.snapshot = *snapshot;
        options.restart = s.restart;
        options.verify = s.verify;
        options.retries = s.retries;
    } else {
        options.command = JobOptions::Command::Status;
    }
    if (!s.report.empty() && !canWriteReport(s.report, err))
        return { kUsage, false };
    return runSite(
        program->parsed() ? "program" : "status", *site, std::move(options), s, out, err, interrupts, stdoutIsTty);
}
