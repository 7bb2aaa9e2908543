#include "TermsimProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

TermsimProcess::TermsimProcess(Options options)
    : m_options(std::move(options))
{
    const bool site = m_options.count > 0;
    if ((site ? m_options.stateDir.empty() : m_options.stateFile.empty()) || m_options.journalFile.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/latchwise-termsim-XXXXXX";
        if (mkdtemp(pattern.data())) {
            m_tempDir = pattern;
        }
        if (site && m_options.stateDir.empty()) {
            m_options.stateDir = m_tempDir + "/states";
        }
        if (!site && m_options.stateFile.empty()) {
            m_options.stateFile = m_tempDir + "/state.json";
        }
        if (m_options.journalFile.empty()) {
            m_options.journalFile = m_tempDir + "/journal.jsonl";
        }
    }
    start();
}

TermsimProcess::TermsimProcess(std::string address)
    : TermsimProcess([&] {
        Options options;
        options.address = std::move(address);
        return options;
    }())
{
}

TermsimProcess::~TermsimProcess()
{
    if (m_pid > 0) {
        stop(std::chrono::seconds(5));
    }
    closePipe();
    if (!m_tempDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_tempDir, ignored);
    }
}

std::string TermsimProcess::binaryPath()
{
    return TERMSIM_PATH;
}

bool TermsimProcess::start()
{
    if (m_pid > 0) {
        return m_started;
    }
    closePipe();
    m_started = false;
    m_output.clear();

    std::vector<std::string> args { binaryPath(), "--listen", m_options.address, "--port",
        std::to_string(m_options.port), "--journal", m_options.journalFile };
    if (m_options.count > 0) {
        args.insert(args.end(),
            { "--count", std::to_string(m_options.count), "--state-dir", m_options.stateDir, "--latency-ms",
                std::to_string(m_options.latencyMs) });
    } else {
        args.insert(args.end(), { "--state", m_options.stateFile });
    }
    if (m_options.key) {
        args.insert(args.end(), { "--key", std::to_string(*m_options.key) });
    }
    if (m_options.restartMs) {
        args.insert(args.end(), { "--restart-ms", std::to_string(*m_options.restartMs) });
    }
    for (const auto& rule : m_options.fails) {
        args.insert(args.end(), { "--fail", rule });
    }
    args.insert(args.end(), m_options.extraArgs.begin(), m_options.extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    // Close-on-exec, so simulators started by other threads never inherit our
    // end and the pipe reports end-of-file exactly when this child exits.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }
    m_pid = pid;
    m_stdout = fds[0];

    const auto deadline = Clock::now() + m_options.startTimeout;
    while (m_output.find('\n') == std::string::npos) {
        pollfd pfd { m_stdout, POLLIN, 0 };
        const int ready = poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false; // timed out; the destructor stops it
        }
        char buffer[512];
        const ssize_t n = read(m_stdout, buffer, sizeof buffer);
        if (n <= 0) {
            return false; // it exited before listening
        }
        m_output.append(buffer, static_cast<std::size_t>(n));
    }
    m_started = m_output.starts_with("termsim listening on ");
    return m_started;
}

std::optional<int> TermsimProcess::waitExit(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0) {
        return std::nullopt;
    }
    // The child holds the only write end of the pipe: end-of-file means it is gone.
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd pfd { m_stdout, POLLIN, 0 };
        const int ready = poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char buffer[512];
        const ssize_t n = read(m_stdout, buffer, sizeof buffer);
        if (n > 0) {
            m_output.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break;
    }
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
    m_pid = -1;
    m_started = false;
    closePipe();
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return std::nullopt;
}

std::optional<int> TermsimProcess::stop(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0) {
        return std::nullopt;
    }
    kill(m_pid, SIGTERM);
    auto status = waitExit(timeout);
    if (m_pid > 0) {
        killHard();
        return std::nullopt;
    }
    return status;
}

void TermsimProcess::killHard()
{
    if (m_pid <= 0) {
        return;
    }
    kill(m_pid, SIGKILL);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
    m_pid = -1;
    m_started = false;
    closePipe();
}

void TermsimProcess::closePipe()
{
    if (m_stdout >= 0) {
        close(m_stdout);
        m_stdout = -1;
    }
}

std::vector<nlohmann::json> TermsimProcess::journal() const
{
    std::vector<nlohmann::json> lines;
    std::ifstream in(m_options.journalFile);
    std::string line;
    while (std::getline(in, line)) {
        auto value = nlohmann::json::parse(line, nullptr, false);
        if (!value.is_discarded()) {
            lines.push_back(std::move(value));
        }
    }
    return lines;
}

std::vector<std::string> TermsimProcess::operations(const std::string& terminal) const
{
    std::vector<std::string> ops;
    for (const auto& entry : journal()) {
        if (!entry.contains("op") || (!terminal.empty() && entry.value("terminal", "") != terminal)) {
            continue;
        }
        std::string record = entry["op"].get<std::string>() + "(";
        bool first = true;
        for (const auto& arg : entry.value("args", nlohmann::json::array())) {
            record += first ? "" : ", ";
            record += arg.is_string() ? arg.get<std::string>() : arg.dump();
            first = false;
        }
        ops.push_back(record + ")");
    }
    return ops;
}
