#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <string>

// Slows down key guessing: enough wrong keys from one address within the
// window lock that address out for a while. Time is passed in, so tests need
// no clock.
class Lockout {
public:
    using Clock = std::chrono::steady_clock;

    struct Policy {
        int failures = 5;
        Clock::duration window = std::chrono::minutes(1);
        Clock::duration lockFor = std::chrono::seconds(30);
    };

    Lockout() = default;
    explicit Lockout(Policy policy)
        : m_policy(policy)
    {
    }

    // Time left on the address's lockout; zero when it may try.
    Clock::duration remaining(const std::string& address, Clock::time_point now);
    // Records a wrong key; true when this failure starts a lockout.
    bool recordFailure(const std::string& address, Clock::time_point now);

private:
    struct Entry {
        std::deque<Clock::time_point> failures;
        Clock::time_point lockedUntil {};
    };
    Policy m_policy;
    std::map<std::string, Entry> m_entries;

    void forget(Entry& entry, Clock::time_point now) const;
};
