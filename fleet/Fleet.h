#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

// latchwise-fleet: one schedule to many terminals (docs/fleet.md).
struct FleetExit {
    int status = 0; // 0 all ok, 1 any terminal failed, 2 bad command line or input
    // A second interrupt left workers running: the caller must end the
    // process at once, without unwinding.
    bool abandoned = false;
};

// `args` without the program name. `interrupts` counts SIGINTs (the signal
// handler only increments it). `stdoutIsTty` chooses the live line.
FleetExit runFleet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
    const std::atomic<int>& interrupts, bool stdoutIsTty);
