#pragma once

#include "Protocol.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Injected faults for tests: --fail '[TERMINAL@]OP[:ARG]=ACTION'. ARG, when
// given, must equal the request's first argument after MachineNumber, as text
// (an option name, a time-zone index, a group). TERMINAL, when given, is the
// dotted address of the one terminal of a site the rule applies to. The first
// matching rule wins.
struct FaultRule {
    enum class Action { False, Error, Hang, Drop, Ignore };

    proto::Op op = proto::Op::None;
    std::optional<std::string> arg;
    Action action = Action::False;
    std::string description; // for Error
    std::optional<std::string> terminal; // a site's terminal; none: every terminal

    bool operator==(const FaultRule&) const = default;
};

// Throws std::invalid_argument with a message a person can act on.
FaultRule parseFaultRule(std::string_view text);

class FaultRules {
public:
    FaultRules() = default;
    explicit FaultRules(std::vector<FaultRule> rules)
        : m_rules(std::move(rules))
    {
    }

    // `firstArg` is the first argument after MachineNumber as text, if any.
    const FaultRule* match(proto::Op op, const std::optional<std::string>& firstArg) const;
    bool empty() const { return m_rules.empty(); }
    // The rules that apply to the terminal at `address`: those naming it and
    // those naming no terminal, in their order.
    FaultRules forTerminal(const std::string& address) const;

private:
    std::vector<FaultRule> m_rules;
};
