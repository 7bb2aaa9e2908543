#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Runs a program of ours (latchwise-fleet) as a child with its stdout and
// stderr captured, for tests that need its exit status, its output or its
// handling of signals. The destructor kills and reaps a child still running.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0 || m_status; }
    // Reads until stdout holds `text` (true) or `timeout` passes (false).
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    void signal(int signal);
    // Reads everything until the child exits; its exit status, or nullopt
    // when it did not end in time (it is then killed) or died of a signal.
    std::optional<int> wait(std::chrono::milliseconds timeout);

    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }

private:
    bool pump(std::chrono::steady_clock::time_point deadline);

    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    std::string m_out;
    std::string m_err;
    std::optional<int> m_status;
};
