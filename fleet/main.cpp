#include "Fleet.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>

namespace {

std::atomic<int> g_interrupts { 0 };
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free counter");

// Counts and returns: everything else happens on the main thread.
extern "C" void onInterrupt(int)
{
    g_interrupts.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

int main(int argc, char** argv)
{
    struct sigaction action { };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const FleetExit result = runFleet(
        std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, g_interrupts, isatty(STDOUT_FILENO));
    if (result.abandoned) {
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(result.status);
    }
    return result.status;
}
