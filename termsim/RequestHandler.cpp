#include "RequestHandler.h"

#include "Journal.h"
#include "Status.h"

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace {

using nlohmann::json;
using proto::Op;

// The request fields of each operation: its input arguments in interface
// order, 'i' for int32 and 't' for text. The first 'i' of a per-terminal
// operation is MachineNumber.
struct Shape {
    Op op;
    std::string_view fields;
    std::string_view names; // for the error text
    bool perTerminal;
    bool local; // answered by the control itself, never by a terminal
    bool hasOut; // has an out text
};

constexpr std::array kShapes {
    Shape { Op::ReadSerialNumber, "i", "int32 MachineNumber", true, false, true },
    Shape { Op::ReadProductName, "i", "int32 MachineNumber", true, false, true },
    Shape { Op::ReadFirmwareVersion, "i", "int32 MachineNumber", true, false, true },
    Shape { Op::ReadSdkVersion, "", "", false, true, true },
    Shape { Op::ConnectNetwork, "ti", "text IP address, int32 port", false, true, false },
    Shape { Op::DisconnectTerminal, "", "", false, true, false },
    Shape { Op::SetCommKey, "i", "int32 key", false, true, false },
    Shape { Op::ReadTimeZone, "ii", "int32 MachineNumber, int32 index", true, false, true },
    Shape { Op::WriteTimeZone, "iit", "int32 MachineNumber, int32 index, text", true, false, false },
    Shape { Op::ReadGroupText, "ii", "int32 MachineNumber, int32 group", true, false, true },
    Shape { Op::WriteGroupNumber, "iii", "int32 MachineNumber, int32 group, int32 number", true, false, false },
    Shape { Op::RestartTerminal, "i", "int32 MachineNumber", true, false, false },
    Shape { Op::ReadVendorName, "", "no fields", false, false, true },
    Shape { Op::ReadOption, "it", "int32 MachineNumber, text name", true, false, true },
    Shape { Op::WriteOption, "itt", "int32 MachineNumber, text name, text value", true, false, false },
    Shape { Op::WriteUnlockCombination, "iiiiiii", "int32 MachineNumber and six int32", true, false, false },
    Shape { Op::IsColorTerminal, "i", "int32 MachineNumber", true, false, false },
};

const Shape* shapeOf(Op op)
{
    for (const auto& shape : kShapes) {
        if (shape.op == op) {
            return &shape;
        }
    }
    return nullptr;
}

bool fits(const proto::Message& m, const Shape& shape)
{
    if (m.fields.size() != shape.fields.size()) {
        return false;
    }
    for (std::size_t i = 0; i < m.fields.size(); ++i) {
        const bool ok = shape.fields[i] == 'i' ? std::holds_alternative<std::int32_t>(m.fields[i])
                                               : std::holds_alternative<std::string>(m.fields[i]);
        if (!ok) {
            return false;
        }
    }
    return true;
}

json argsOf(const proto::Message& m)
{
    json args = json::array();
    for (const auto& field : m.fields) {
        if (const auto* i = std::get_if<std::int32_t>(&field)) {
            args.push_back(*i);
        } else if (const auto* s = std::get_if<std::string>(&field)) {
            args.push_back(*s);
        } else {
            args.push_back(json::binary(std::get<proto::Bytes>(field).data));
        }
    }
    return args;
}

std::optional<std::string> firstArgAfterMachine(const proto::Message& m, const Shape& shape)
{
    const std::size_t at = shape.perTerminal ? 1 : 0;
    if (at >= m.fields.size()) {
        return std::nullopt;
    }
    if (const auto* i = std::get_if<std::int32_t>(&m.fields[at])) {
        return std::to_string(*i);
    }
    return std::get<std::string>(m.fields[at]);
}

std::int32_t intAt(const proto::Message& m, std::size_t i)
{
    return std::get<std::int32_t>(m.fields[i]);
}
const std::string& textAt(const proto::Message& m, std::size_t i)
{
    return std::get<std::string>(m.fields[i]);
}

std::string groupOption(std::int32_t group)
{
    return "GTZ" + std::to_string(group);
}

struct Answer {
    std::int32_t status = kSOk;
    bool result = false;
    std::string out;
    std::string description;
};

Answer value(bool result)
{
    return { kSOk, result, {}, {} };
}
Answer text(bool result, std::string out)
{
    return { kSOk, result, std::move(out), {} };
}
Answer failure(HResult status, std::string description)
{
    return { status, false, {}, std::move(description) };
}

// One line per request: what came in, the fault that decided it if any, and
// the answer (none for a hang or a drop). Built only when there is a journal.
void journalRequest(Journal& journal, const proto::Message& request, std::uint64_t connection, const char* fault,
    const Answer* answer, const Shape& shape)
{
    if (!journal.enabled()) {
        return;
    }
    json entry { { "op", std::string(proto::opName(request.op)) }, { "args", argsOf(request) } };
    if (connection != 0) {
        entry["connection"] = connection;
    }
    if (fault) {
        entry["fault"] = fault;
    }
    if (answer) {
        entry["result"] = answer->result;
        if (shape.hasOut) {
            entry["out"] = answer->out;
        }
        entry["status"] = answer->status;
        if (!answer->description.empty()) {
            entry["description"] = answer->description;
        }
    }
    journal.write(entry);
}

// Puts back what one request changed, should its save fail. A request sets
// at most one entry of each map, or the combination; nothing else changes.
class Undo {
public:
    // Sets map[key] = value and remembers what was there. Returns false, and
    // remembers nothing, when the map already held that value.
    template <typename Map, typename Value> bool store(Map& map, const typename Map::key_type& key, Value&& value)
    {
        auto [it, inserted] = map.try_emplace(key);
        if (!inserted && it->second == value) {
            return false;
        }
        auto& slot = slotFor(map);
        slot.emplace(key, inserted ? std::nullopt : std::optional(std::move(it->second)));
        it->second = std::forward<Value>(value);
        return true;
    }

    bool storeCombination(std::array<std::int32_t, 6>& combination, const std::array<std::int32_t, 6>& value)
    {
        if (combination == value) {
            return false;
        }
        m_combination = combination;
        combination = value;
        return true;
    }

    bool changed() const { return m_option || m_timeZone || m_groupNumber || m_combination; }

    void apply(TerminalState& s)
    {
        restore(s.options, m_option);
        restore(s.timeZones, m_timeZone);
        restore(s.groupNumbers, m_groupNumber);
        if (m_combination) {
            s.unlockCombination = *m_combination;
        }
    }

private:
    // The key and its former value; no value when the key was not held.
    template <typename Map>
    using Slot = std::optional<std::pair<typename Map::key_type, std::optional<typename Map::mapped_type>>>;

    Slot<decltype(TerminalState::options)> m_option;
    Slot<decltype(TerminalState::timeZones)> m_timeZone;
    Slot<decltype(TerminalState::groupNumbers)> m_groupNumber;
    std::optional<std::array<std::int32_t, 6>> m_combination;

    auto& slotFor(decltype(TerminalState::options)&) { return m_option; }
    auto& slotFor(decltype(TerminalState::timeZones)&) { return m_timeZone; }
    auto& slotFor(decltype(TerminalState::groupNumbers)&) { return m_groupNumber; }

    template <typename Map> static void restore(Map& map, Slot<Map>& slot)
    {
        if (!slot) {
            return;
        }
        if (slot->second) {
            map[slot->first] = std::move(*slot->second);
        } else {
            map.erase(slot->first);
        }
    }
};

// A write that would take a table past its bound is refused, as a full
// terminal would; one that only replaces a held value always fits.
template <typename Map> bool roomFor(const Map& map, const typename Map::key_type& key, std::size_t max)
{
    return map.size() < max || map.contains(key);
}

bool optionStorable(const TerminalState& s, const std::string& name, const std::string& value)
{
    const auto it = s.options.find(name);
    return (it != s.options.end() && it->second == value) || optionFits(s, name, value);
}

// The operations proper. Each returns its answer; what it changes in `s`
// goes through `undo`, which so also knows whether anything changed.
Answer run(const proto::Message& m, TerminalState& s, Undo& undo)
{
    const auto lookup = [](const auto& map, const auto& key) {
        const auto it = map.find(key);
        return it == map.end() ? text(false, {}) : text(true, it->second);
    };
    switch (m.op) {
    case Op::ReadSerialNumber:
        return text(true, s.serialNumber);
    case Op::ReadProductName:
        return text(true, s.productName);
    case Op::ReadFirmwareVersion:
        return text(true, s.firmwareVersion);
    case Op::ReadVendorName:
        return text(true, s.vendorName);
    case Op::IsColorTerminal:
        return value(s.colorTerminal);
    case Op::ReadTimeZone:
        return lookup(s.timeZones, intAt(m, 1));
    case Op::WriteTimeZone:
        if (!roomFor(s.timeZones, intAt(m, 1), kMaxTimeZones)) {
            return value(false);
        }
        undo.store(s.timeZones, intAt(m, 1), textAt(m, 2));
        return value(true);
    case Op::ReadGroupText:
        return lookup(s.options, groupOption(intAt(m, 1)));
    case Op::WriteGroupNumber:
        if (!roomFor(s.groupNumbers, intAt(m, 1), kMaxGroups)
            || (intAt(m, 2) == 0 && !optionStorable(s, groupOption(intAt(m, 1)), "::"))) {
            return value(false);
        }
        undo.store(s.groupNumbers, intAt(m, 1), intAt(m, 2));
        // A group set to 0 holds no time zones any more.
        if (intAt(m, 2) == 0) {
            undo.store(s.options, groupOption(intAt(m, 1)), "::");
        }
        return value(true);
    case Op::RestartTerminal:
        return value(true);
    case Op::ReadOption:
        return lookup(s.options, textAt(m, 1));
    case Op::WriteOption:
        if (!optionStorable(s, textAt(m, 1), textAt(m, 2))) {
            return value(false);
        }
        undo.store(s.options, textAt(m, 1), textAt(m, 2));
        return value(true);
    case Op::WriteUnlockCombination: {
        std::array<std::int32_t, 6> combination {};
        for (std::size_t i = 0; i < combination.size(); ++i) {
            combination[i] = intAt(m, i + 1);
        }
        undo.storeCombination(s.unlockCombination, combination);
        return value(true);
    }
    default:
        return failure(kEUnexpected, "operation not handled");
    }
}

} // namespace

RequestHandler::RequestHandler(TerminalState& state, Persist persist, FaultRules rules, Journal& journal)
    : m_state(state)
    , m_persist(std::move(persist))
    , m_rules(std::move(rules))
    , m_journal(journal)
{
}

RequestHandler::Outcome RequestHandler::handle(const proto::Message& request, std::uint64_t connection)
{
    Outcome outcome;
    const Shape* shape = shapeOf(request.op);
    if (request.kind != proto::Kind::Request || !shape) {
        // No well-formed Response can answer it; the link is broken.
        outcome.action = Outcome::Action::Drop;
        return outcome;
    }
    const std::string_view name = proto::opName(request.op);
    const char* fault = nullptr; // for the journal
    Answer answer;
    if (!fits(request, *shape)) {
        answer = failure(kEInvalidArg,
            std::string(name) + " expects " + (shape->fields.empty() ? "no fields" : std::string(shape->names)));
    } else if (const FaultRule* rule
        = m_rules.empty() ? nullptr : m_rules.match(request.op, firstArgAfterMachine(request, *shape))) {
        switch (rule->action) {
        case FaultRule::Action::False:
            answer = value(false);
            fault = "false";
            break;
        case FaultRule::Action::Error:
            answer = failure(kEFail, rule->description);
            fault = "error";
            break;
        case FaultRule::Action::Ignore:
            // Accepted but not kept: a terminal that loses a write.
            answer = value(true);
            fault = "ignore";
            break;
        case FaultRule::Action::Hang:
        case FaultRule::Action::Drop:
            const bool hang = rule->action == FaultRule::Action::Hang;
            journalRequest(m_journal, request, connection, hang ? "hang" : "drop", nullptr, *shape);
            outcome.action = hang ? Outcome::Action::Hang : Outcome::Action::Drop;
            return outcome;
        }
    } else if (shape->local) {
        answer = failure(kENotImpl, std::string(name) + " is answered by the control, not by the terminal");
    } else if (shape->perTerminal && intAt(request, 0) != 1) {
        // This terminal is machine number 1; any other number addresses no one.
        answer = value(false);
    } else {
        Undo undo;
        answer = run(request, m_state, undo);
        if (undo.changed()) {
            try {
                if (m_persist) {
                    m_persist(m_state);
                }
                outcome.changed = true;
            } catch (const std::exception& e) {
                undo.apply(m_state);
                answer = failure(kEFail, std::string("The terminal could not save the change: ") + e.what());
            }
        }
        outcome.restart = request.op == Op::RestartTerminal && answer.status == kSOk;
    }

    journalRequest(m_journal, request, connection, fault, &answer, *shape);
    outcome.response = proto::makeResponse(
        request, answer.status, answer.result ? kTrue : 0, std::move(answer.out), std::move(answer.description));
    return outcome;
}
