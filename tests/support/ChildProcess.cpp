#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv)
{
    std::vector<char*> raw;
    for (auto& arg : argv)
        raw.push_back(arg.data());
    raw.push_back(nullptr);
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    m_stdout = out[0];
    m_stderr = err[0];
    if (rc == 0)
        m_pid = pid;
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
    }
    for (int fd : { m_stdout, m_stderr }) {
        if (fd >= 0)
            close(fd);
    }
}

// Reads what is there until the deadline; false once both pipes are closed.
bool ChildProcess::pump(Clock::time_point deadline)
{
    pollfd fds[2] = { { m_stdout, POLLIN, 0 }, { m_stderr, POLLIN, 0 } };
    if (m_stdout < 0 && m_stderr < 0)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = poll(fds, 2, left > 0 ? static_cast<int>(left) : 0);
    if (ready <= 0)
        return true;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
            continue;
        char buffer[4096];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        int& fd = i == 0 ? m_stdout : m_stderr;
        if (n > 0)
            (i == 0 ? m_out : m_err).append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) {
            close(fd);
            fd = -1;
        }
    }
    return m_stdout >= 0 || m_stderr >= 0;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (m_out.find(text) == std::string::npos) {
        if (Clock::now() >= deadline || !pump(deadline))
            return m_out.find(text) != std::string::npos;
    }
    return true;
}

void ChildProcess::signal(int signal)
{
    if (m_pid > 0)
        kill(m_pid, signal);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0)
        return m_status;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline && pump(deadline)) { }
    if (m_stdout >= 0 || m_stderr >= 0)
        kill(m_pid, SIGKILL);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
    m_pid = -1;
    if (WIFEXITED(status) && (m_stdout < 0 && m_stderr < 0))
        m_status = WEXITSTATUS(status);
    return m_status;
}
