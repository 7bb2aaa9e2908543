#pragma once

#include "Defaults.h"

#include <chrono>
#include <deque>
#include <map>
#include <string>

// Slows down key guessing on two levels: enough wrong keys from one address
// within the window lock that address out for a while, and enough wrong keys
// from anywhere lock the whole terminal out, so that a guesser who changes
// its source address for every try gains nothing. Time is passed in, so tests
// need no clock.
class Lockout {
public:
    using Clock = std::chrono::steady_clock;

    struct Policy {
        int failures = termsim_defaults::kAddressFailures; // per address within the window
        Clock::duration window = std::chrono::minutes(1);
        Clock::duration lockFor = std::chrono::milliseconds(termsim_defaults::kAddressLockoutMs);
        int terminalFailures = termsim_defaults::kTerminalFailures; // from all addresses within the window
        Clock::duration terminalLockFor = std::chrono::milliseconds(termsim_defaults::kTerminalLockoutMs);
    };

    // Why a key check is refused, and for how long.
    struct State {
        Clock::duration remaining {}; // zero: it may try
        bool terminalWide = false;
        explicit operator bool() const { return remaining > Clock::duration::zero(); }
    };

    Lockout() = default;
    explicit Lockout(Policy policy)
        : m_policy(policy)
    {
    }

    // The lockout in force for the address, the terminal-wide one first.
    State check(const std::string& address, Clock::time_point now);
    // Records a wrong key; true when this failure starts a lockout (of the
    // address or of the terminal).
    bool recordFailure(const std::string& address, Clock::time_point now);

private:
    struct Entry {
        std::deque<Clock::time_point> failures;
        Clock::time_point lockedUntil {};
    };
    Policy m_policy;
    std::map<std::string, Entry> m_entries;
    Entry m_terminal;

    void forget(Entry& entry, Clock::time_point now) const;
    void prune(Clock::time_point now);
};
