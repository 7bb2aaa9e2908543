#include "FleetRunner.h"

#include "TCTermLink.h"

#include <algorithm>

FleetRunner::FleetRunner(std::vector<SiteTerminal> site, JobOptions options, int jobs, TermLinkFactory factory)
    : m_site(std::move(site))
    , m_options(std::move(options))
    , m_jobs(std::max(1, jobs))
    , m_factory(std::move(factory))
    , m_states(m_site.size(), State::Waiting)
    , m_results(m_site.size())
{
}

FleetRunner::~FleetRunner()
{
    stopStarting();
    stopWaiting();
    join();
}

void FleetRunner::start()
{
    const int threads = std::min<int>(m_jobs, static_cast<int>(m_site.size()));
    m_workersLeft = threads;
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { work(); });
}

void FleetRunner::stopStarting()
{
    m_stopStarting = true;
}

void FleetRunner::stopWaiting()
{
    m_stopWaiting = true;
}

void FleetRunner::work()
{
    for (;;) {
        if (m_stopStarting)
            break;
        const std::size_t index = m_next++;
        if (index >= m_site.size())
            break;
        {
            std::lock_guard lock(m_mutex);
            m_states[index] = State::Running;
        }
        TerminalResult result;
        try {
            // Each instance has its own connection and I/O context; only the
            // loading and creation are kept to one thread at a time.
            std::unique_ptr<ITermLinkObject> object;
            {
                std::lock_guard create(m_createMutex);
                object = m_factory();
            }
            TCTermLink link(std::move(object));
            result = runJob(link, m_site[index], m_options, m_stopWaiting);
        } catch (const std::exception& e) {
            result.outcome = Outcome::Error;
            result.error = e.what();
        }
        std::lock_guard lock(m_mutex);
        m_results[index] = std::move(result);
        m_states[index] = State::Finished;
        m_newlyFinished.push_back(index);
        m_changed.notify_all();
    }
    std::lock_guard lock(m_mutex);
    --m_workersLeft;
    m_changed.notify_all();
}

FleetRunner::Counts FleetRunner::counts() const
{
    Counts counts;
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < m_states.size(); ++i) {
        switch (m_states[i]) {
        case State::Waiting:
            ++counts.left;
            break;
        case State::Running:
            ++counts.running;
            break;
        case State::Finished:
            ++(m_results[i].outcome == Outcome::Ok ? counts.done : counts.failed);
            break;
        }
    }
    return counts;
}

std::vector<std::size_t> FleetRunner::waitFinished(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return !m_newlyFinished.empty() || m_workersLeft == 0; });
    std::vector<std::size_t> finished;
    finished.swap(m_newlyFinished);
    return finished;
}

bool FleetRunner::allFinished() const
{
    std::lock_guard lock(m_mutex);
    return m_workersLeft == 0;
}

std::vector<TerminalResult> FleetRunner::results() const
{
    std::lock_guard lock(m_mutex);
    std::vector<TerminalResult> results = m_results;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (m_states[i] == State::Running) {
            results[i].outcome = Outcome::Interrupted;
            results[i].error = "stopped while running; the terminal may be partly programmed";
        }
    }
    return results;
}

TerminalResult FleetRunner::result(std::size_t index) const
{
    std::lock_guard lock(m_mutex);
    return m_results.at(index);
}

void FleetRunner::join()
{
    for (auto& thread : m_threads) {
        if (thread.joinable())
            thread.join();
    }
}
