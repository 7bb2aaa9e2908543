#include "Lockout.h"

void Lockout::forget(Entry& entry, Clock::time_point now) const
{
    while (!entry.failures.empty() && now - entry.failures.front() >= m_policy.window) {
        entry.failures.pop_front();
    }
}

// Addresses that neither count nor lock any more; a guesser with many
// addresses must not grow the table for ever.
void Lockout::prune(Clock::time_point now)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        forget(it->second, now);
        if (it->second.failures.empty() && now >= it->second.lockedUntil) {
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

Lockout::State Lockout::check(const std::string& address, Clock::time_point now)
{
    if (now < m_terminal.lockedUntil) {
        return { m_terminal.lockedUntil - now, true };
    }
    const auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        return {};
    }
    Entry& entry = it->second;
    if (now < entry.lockedUntil) {
        return { entry.lockedUntil - now, false };
    }
    forget(entry, now);
    if (entry.failures.empty()) {
        m_entries.erase(it); // keeps the table as small as the current trouble
    }
    return {};
}

bool Lockout::recordFailure(const std::string& address, Clock::time_point now)
{
    if (m_entries.size() >= 1024) {
        prune(now);
    }
    forget(m_terminal, now);
    m_terminal.failures.push_back(now);
    bool locked = false;
    if (static_cast<int>(m_terminal.failures.size()) >= m_policy.terminalFailures) {
        m_terminal.failures.clear();
        m_terminal.lockedUntil = now + m_policy.terminalLockFor;
        locked = true;
    }
    Entry& entry = m_entries[address];
    forget(entry, now);
    entry.failures.push_back(now);
    if (static_cast<int>(entry.failures.size()) >= m_policy.failures) {
        entry.failures.clear();
        entry.lockedUntil = now + m_policy.lockFor;
        locked = true;
    }
    return locked;
}
