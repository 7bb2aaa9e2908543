#include "Lockout.h"

void Lockout::forget(Entry& entry, Clock::time_point now) const
{
    while (!entry.failures.empty() && now - entry.failures.front() >= m_policy.window) {
        entry.failures.pop_front();
    }
}

Lockout::Clock::duration Lockout::remaining(const std::string& address, Clock::time_point now)
{
    const auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        return {};
    }
    Entry& entry = it->second;
    if (now < entry.lockedUntil) {
        return entry.lockedUntil - now;
    }
    forget(entry, now);
    if (entry.failures.empty()) {
        m_entries.erase(it); // keeps the table as small as the current trouble
    }
    return {};
}

bool Lockout::recordFailure(const std::string& address, Clock::time_point now)
{
    Entry& entry = m_entries[address];
    forget(entry, now);
    entry.failures.push_back(now);
    if (static_cast<int>(entry.failures.size()) < m_policy.failures) {
        return false;
    }
    entry.failures.clear();
    entry.lockedUntil = now + m_policy.lockFor;
    return true;
}
