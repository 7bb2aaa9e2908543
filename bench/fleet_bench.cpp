// fleet_bench: latchwise-fleet against a termsim site, in one run.
//
// 1. 200 terminals answering each request after 5 ms, --jobs 32: the fleet's
//    wall time against the ideal ceil(200/32) x (requests per terminal) x 5 ms,
//    the time the latency alone costs when 32 terminals are always in hand.
//    Goal: at most 1.25 x ideal.
// 2. 1000 terminals answering at once: terminals per second, and the peak
//    resident memory of the fleet (goal under 64 MiB) and of termsim.
//
// Both programs are taken from beside this one; every address is loopback.
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid = -1;
};

Child spawn(std::vector<std::string> args, const std::string& out)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Child child;
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

// Exit status and peak resident memory in KiB.
struct Reaped {
    int status = -1;
    long peakKiB = 0;
    double cpu = 0;
};

Reaped reap(Child child)
{
    int status = 0;
    rusage usage {};
    while (wait4(child.pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return { WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss,
        seconds(usage.ru_utime) + seconds(usage.ru_stime) };
}

// User plus system CPU seconds a running process has used.
double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:"))
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

bool waitForFile(const std::string& path, const std::string& text, std::chrono::seconds bound)
{
    for (const auto until = Clock::now() + bound; Clock::now() < until;) {
        std::ifstream in(path);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        if (content.find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

struct Run {
    double seconds = 0;
    int status = -1;
    long fleetKiB = 0;
    long termsimKiB = 0;
    double fleetCpu = 0;
    double termsimCpu = 0;
    double requestsPerTerminal = 0;
    double firstTerminalSeconds = 0; // the report's duration of the first terminal
};

// Starts a site, programs it once, stops it.
std::optional<Run> programSite(const fs::path& bin, const fs::path& dir, const std::string& first, int count,
    int latencyMs, int jobs, bool journal)
{
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::string> simArgs { (bin / "termsim").string(), "--listen", first, "--count", std::to_string(count),
        "--state-dir", (dir / "states").string(), "--latency-ms", std::to_string(latencyMs), "--no-sync" };
    if (journal)
        simArgs.insert(simArgs.end(), { "--journal", (dir / "journal.jsonl").string() });
    const Child sim = spawn(simArgs, (dir / "termsim.out").string());
    if (sim.pid < 0 || !waitForFile((dir / "termsim.out").string(), "listening", std::chrono::seconds(30))) {
        std::fprintf(stderr, "fleet_bench: termsim did not start\n");
        return std::nullopt;
    }
    const unsigned base = [&] {
        unsigned a, b, c, d;
        std::sscanf(first.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
        return (a << 24) | (b << 16) | (c << 8) | d;
    }();
    {
        std::ofstream site(dir / "site.csv");
        site << "name,address,key\n";
        for (int i = 0; i < count; ++i) {
            const unsigned a = base + static_cast<unsigned>(i);
            site << "t" << i << "," << (a >> 24) << "." << ((a >> 16) & 255) << "." << ((a >> 8) & 255) << "."
                 << (a & 255) << ",\n";
        }
        nlohmann::json days = nlohmann::json::object();
        for (const char* day : { "sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday" })
            days[day] = { "0800", "1700" };
        std::ofstream(dir / "schedule.json") << nlohmann::json { { "zones", { { "1", days } } } }.dump();
    }
    const auto started = Clock::now();
    const Child fleet = spawn({ (bin / "latchwise-fleet").string(), "program", "--site", (dir / "site.csv").string(),
                                  "--schedule", (dir / "schedule.json").string(), "--jobs", std::to_string(jobs),
                                  "--report", (dir / "report.json").string() },
        (dir / "fleet.out").string());
    Run run;
    const double simCpuBefore = cpuSeconds(sim.pid);
    const Reaped reaped = reap(fleet);
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    run.status = reaped.status;
    run.fleetKiB = reaped.peakKiB;
    run.fleetCpu = reaped.cpu;
    run.termsimCpu = cpuSeconds(sim.pid) - simCpuBefore;
    run.termsimKiB = peakKiB(sim.pid);
    kill(sim.pid, SIGTERM);
    reap(sim);
    {
        std::ifstream in(dir / "report.json");
        const auto report = nlohmann::json::parse(in, nullptr, false);
        if (!report.is_discarded())
            run.firstTerminalSeconds = report["terminals"][0].value("durationMs", 0) / 1000.0;
    }
    if (journal) {
        std::ifstream in(dir / "journal.jsonl");
        std::string line;
        long requests = 0;
        while (std::getline(in, line))
            requests += line.find("\"op\"") != std::string::npos ? 1 : 0;
        run.requestsPerTerminal = static_cast<double>(requests) / count;
    }
    return run;
}

} // namespace

int main(int, char** argv)
{
    setenv("LATCHWISE_LOOPBACK_ONLY", "1", 1);
    const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
    // tmpfs keeps the state saves out of the measurement where it can.
    const fs::path scratch = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path dir = scratch / ("latchwise-fleet-bench-" + std::to_string(getpid()));
    (void)argv;

    constexpr int kSlowCount = 200;
    constexpr int kJobs = 32;
    constexpr int kLatencyMs = 5;
    // The requests one terminal gets, counted in its journal; the timed run
    // keeps no journal, which a real terminal does not write either.
    const auto counted = programSite(bin, dir, "127.0.110.1", 1, kLatencyMs, 1, true);
    auto slow = programSite(bin, dir, "127.0.110.1", kSlowCount, kLatencyMs, kJobs, false);
    if (!counted || counted->status != 0 || !slow || slow->status != 0) {
        std::fprintf(stderr, "fleet_bench: the 200-terminal run failed (see %s)\n", dir.c_str());
        return 1;
    }
    slow->requestsPerTerminal = counted->requestsPerTerminal;
    const double rounds = std::ceil(static_cast<double>(kSlowCount) / kJobs);
    const double ideal = rounds * slow->requestsPerTerminal * kLatencyMs / 1000.0;
    std::printf("200 terminals, %d ms per answer, --jobs %d: %.0f requests per terminal\n", kLatencyMs, kJobs,
        slow->requestsPerTerminal);
    std::printf("  fleet wall time %.3f s, ideal %.0f x %.0f x %d ms = %.3f s, ratio %.2f (goal <= 1.25)\n",
        slow->seconds, rounds, slow->requestsPerTerminal, kLatencyMs, ideal, slow->seconds / ideal);
    // The same machine's real cost of one terminal alone (its round trips and
    // wake-ups on top of the latency), measured in this run: how much of the
    // ratio is running side by side, and how much the machine's load.
    std::printf("  CPU used meanwhile: fleet %.3f s, termsim %.3f s\n", slow->fleetCpu, slow->termsimCpu);
    const double alone = rounds * counted->firstTerminalSeconds;
    std::printf("  one terminal alone took %.3f s here (ideal %.3f s); %.0f rounds of it = %.3f s, ratio %.2f\n",
        counted->firstTerminalSeconds, slow->requestsPerTerminal * kLatencyMs / 1000.0, rounds, alone,
        slow->seconds / alone);

    constexpr int kFastCount = 1000;
    const auto fast = programSite(bin, dir, "127.0.120.1", kFastCount, 0, kJobs, false);
    if (!fast || fast->status != 0) {
        std::fprintf(stderr, "fleet_bench: the 1000-terminal run failed (see %s)\n", dir.c_str());
        return 1;
    }
    std::printf("1000 terminals, no latency, --jobs %d: %.3f s, %.0f terminals per second\n", kJobs, fast->seconds,
        kFastCount / fast->seconds);
    std::printf("  peak memory: fleet %.1f MiB (goal < 64), termsim %.1f MiB\n", fast->fleetKiB / 1024.0,
        fast->termsimKiB / 1024.0);
    fs::remove_all(dir);
    return 0;
}
