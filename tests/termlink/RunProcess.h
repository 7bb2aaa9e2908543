#pragma once

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1; // -1 when it died of a signal or was stopped for taking too long
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs a program to its end, with a bound: past `timeout` it is killed.
ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);
