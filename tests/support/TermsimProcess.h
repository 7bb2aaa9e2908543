#pragma once

#include "TerminalConstants.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Runs the real `termsim` binary as a child process for tests.
//
//   TermsimProcess::Options options;
//   options.address = "127.0.1.5";
//   options.fails = {"WriteOption:IsHolidayValid=false"};
//   TermsimProcess sim(options);       // or TermsimProcess sim("127.0.1.5");
//   ASSERT_TRUE(sim.started()) << sim.output();
//   ... connect to sim.address() on port 4370 ...
//   EXPECT_EQ(sim.operations(), (std::vector<std::string>{"WriteOption(1, IsHolidayValid, 0)"}));
//
// The constructor starts the simulator and waits (bounded) for its
// "termsim listening on ..." line. State and journal files live in a fresh
// temporary directory unless paths are given; that directory is removed by the
// destructor, which also stops the simulator (SIGTERM, then SIGKILL).
// Use one loopback address per test so tests can run in parallel.
class TermsimProcess {
public:
    struct Options {
        std::string address = "127.0.0.1";
        int port = kTerminalPort;
        std::string stateFile; // empty: "state.json" in the temporary directory
        // A site: `count` terminals from `address` on, their state files in
        // `stateDir` (empty: "states" in the temporary directory).
        int count = 0;
        std::string stateDir;
        int latencyMs = 0;
        std::string journalFile; // empty: "journal.jsonl" in the temporary directory
        std::optional<std::int32_t> key;
        std::optional<int> restartMs;
        std::vector<std::string> fails; // each becomes one --fail RULE
        std::vector<std::string> extraArgs; // appended as they stand
        std::chrono::milliseconds startTimeout { 10000 };
    };

    explicit TermsimProcess(Options options);
    // Defaults for everything but the address.
    explicit TermsimProcess(std::string address);
    ~TermsimProcess();
    TermsimProcess(const TermsimProcess&) = delete;
    TermsimProcess& operator=(const TermsimProcess&) = delete;

    // True once the simulator said it is listening.
    bool started() const { return m_started; }
    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // What the simulator printed on stdout so far (its listening line).
    const std::string& output() const { return m_output; }

    // Starts it again with the same options and files (after stop or killHard).
    bool start();
    // SIGTERM, then waits up to `timeout`. Returns the exit status, or nullopt
    // when it did not exit in time (it is then killed) or died of a signal.
    std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // SIGKILL and reap: a crash at an arbitrary moment.
    void killHard();
    // Waits up to `timeout` for the process to exit on its own (e.g. after a
    // start-up error). Returns its exit status, nullopt when still running.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

    const std::string& address() const { return m_options.address; }
    const std::string& stateFile() const { return m_options.stateFile; }
    const std::string& stateDir() const { return m_options.stateDir; }
    // The state file of the site's terminal at `address`.
    std::string stateFileOf(const std::string& address) const { return m_options.stateDir + "/" + address + ".json"; }
    const std::string& journalFile() const { return m_options.journalFile; }

    // Every journal line parsed, in order (lines that do not parse are skipped).
    std::vector<nlohmann::json> journal() const;
    // The operation records only, formatted as "WriteOption(1, ~LockFunOn, 15)",
    // the same form the scripted test control records.
    // With `terminal`, only that terminal's of a site.
    std::vector<std::string> operations(const std::string& terminal = {}) const;

    // The absolute path of the termsim binary built with the tests.
    static std::string binaryPath();

private:
    Options m_options;
    std::string m_tempDir;
    std::string m_output;
    pid_t m_pid = -1;
    int m_stdout = -1;
    bool m_started = false;

    void closePipe();
};
