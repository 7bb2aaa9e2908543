#pragma once

#include "FaultRules.h"
#include "Protocol.h"
#include "TerminalState.h"

#include <cstdint>
#include <functional>

class Journal;

// What the terminal does with one request, without any socket: checks its
// shape, applies the fault rules, runs the operation on the state, saves the
// state when it changed (before the answer goes out) and journals the request.
// Each operation knows what it changed, so a request that changes nothing
// costs no save and no copy of the state.
class RequestHandler {
public:
    struct Outcome {
        enum class Action { Respond, Hang, Drop };
        Action action = Action::Respond;
        proto::Message response; // for Respond
        bool restart = false; // RestartTerminal: pause once the answer is sent
        bool changed = false; // the request changed the state, and the change was saved
    };

    // Makes the state durable; throws when it cannot. A failed save leaves the
    // state as it was and answers a failure status.
    using Persist = std::function<void(const TerminalState&)>;

    RequestHandler(TerminalState& state, Persist persist, FaultRules rules, Journal& journal);

    // `connection` only labels the journal entry. Anything but a Request for
    // a known operation breaks the protocol and gets Drop, unjournalled.
    Outcome handle(const proto::Message& request, std::uint64_t connection = 0);

    static constexpr std::int32_t kTrue = -1; // the 16-bit boolean, all bits set

private:
    TerminalState& m_state;
    Persist m_persist;
    FaultRules m_rules;
    Journal& m_journal;
};
