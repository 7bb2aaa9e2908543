#pragma once

#include "FleetJob.h"
#include "TermLinkLoader.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

// Runs one job per terminal on `jobs` worker threads, each job with a control
// instance of its own. The caller watches from its own thread: counts for the
// live line, finished terminals as they come, and the two ways to stop.
class FleetRunner {
public:
    FleetRunner(std::vector<SiteTerminal> site, JobOptions options, int jobs, TermLinkFactory factory);
    ~FleetRunner();
    FleetRunner(const FleetRunner&) = delete;
    FleetRunner& operator=(const FleetRunner&) = delete;

    void start();
    // Start no new terminal; the running ones finish their sequence.
    void stopStarting();
    // Also cut short what can be cut (the verify's waits between attempts).
    void stopWaiting();

    struct Counts {
        int done = 0; // finished and ok
        int failed = 0;
        int running = 0;
        int left = 0; // not started yet
    };
    Counts counts() const;

    // Waits up to `timeout` for terminals to finish; returns the indices of
    // those finished since the last call.
    std::vector<std::size_t> waitFinished(std::chrono::milliseconds timeout);
    bool allFinished() const;

    // Every terminal's result so far; a running one is reported Interrupted
    // (it may be partly programmed), one never started NotStarted.
    std::vector<TerminalResult> results() const;
    // One finished terminal's result.
    TerminalResult result(std::size_t index) const;

    // Waits for every worker.
    void join();

private:
    enum class State { Waiting, Running, Finished };

    void work();

    std::vector<SiteTerminal> m_site;
    JobOptions m_options;
    int m_jobs;
    TermLinkFactory m_factory;
    std::mutex m_createMutex; // the control is created one at a time

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<State> m_states;
    std::vector<TerminalResult> m_results;
    std::vector<std::size_t> m_newlyFinished;
    int m_workersLeft = 0;

    std::atomic<std::size_t> m_next { 0 };
    std::atomic<bool> m_stopStarting { false };
    std::atomic<bool> m_stopWaiting { false };
    std::vector<std::thread> m_threads;
};
