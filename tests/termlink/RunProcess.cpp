#include "RunProcess.h"

#include "ChildProcess.h"

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    const auto started = std::chrono::steady_clock::now();
    ChildProcess child(argv);
    const auto status = child.wait(timeout);
    ProcessResult result;
    result.exitCode = status.value_or(-1);
    result.timedOut = !status && std::chrono::steady_clock::now() - started >= timeout;
    result.out = child.out();
    result.err = child.err();
    return result;
}
