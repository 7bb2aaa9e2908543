#include "FaultRules.h"

#include <arpa/inet.h>

#include <array>
#include <stdexcept>

namespace {

constexpr std::string_view kErrorPrefix = "error:";
constexpr std::string_view kDefaultDescription = "Simulated terminal failure";

std::invalid_argument bad(std::string_view text, const std::string& why)
{
    return std::invalid_argument("--fail '" + std::string(text) + "': " + why);
}

bool validText(std::string_view text)
{
    // The description travels as a protocol text, so it must decode there.
    proto::Message probe { proto::Kind::AuthResult, proto::Op::None, 0, { std::string(text) } };
    try {
        return proto::decode(proto::encode(probe)).status == proto::DecodeStatus::Ok;
    } catch (const std::length_error&) {
        return false;
    }
}

} // namespace

FaultRule parseFaultRule(std::string_view text)
{
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) {
        throw bad(text, "expected OP[:ARG]=ACTION");
    }
    std::string_view target = text.substr(0, eq);
    const std::string_view action = text.substr(eq + 1);

    FaultRule rule;
    if (const auto at = target.find('@'); at != std::string_view::npos) {
        rule.terminal = std::string(target.substr(0, at));
        std::array<unsigned char, 4> octets {};
        if (inet_pton(AF_INET, rule.terminal->c_str(), octets.data()) != 1) {
            throw bad(text, "\"" + *rule.terminal + "\" is not a dotted IPv4 address");
        }
        target.remove_prefix(at + 1);
    }
    const auto colon = target.find(':');
    const std::string_view opText = target.substr(0, colon);
    rule.op = proto::opFromName(opText);
    if (rule.op == proto::Op::None) {
        throw bad(text, "unknown operation \"" + std::string(opText) + "\"");
    }
    if (colon != std::string_view::npos) {
        rule.arg = std::string(target.substr(colon + 1));
    }

    if (action == "false") {
        rule.action = FaultRule::Action::False;
    } else if (action == "hang") {
        rule.action = FaultRule::Action::Hang;
    } else if (action == "drop") {
        rule.action = FaultRule::Action::Drop;
    } else if (action == "ignore") {
        rule.action = FaultRule::Action::Ignore;
    } else if (action.starts_with(kErrorPrefix)) {
        rule.action = FaultRule::Action::Error;
        rule.description = std::string(action.substr(kErrorPrefix.size()));
        if (rule.description.empty()) {
            rule.description = kDefaultDescription;
        }
        if (!validText(rule.description)) {
            throw bad(text, "the error text must be UTF-8 and at most 4 KiB");
        }
    } else {
        throw bad(text, "unknown action \"" + std::string(action) + "\" (false, error:TEXT, hang, drop or ignore)");
    }
    return rule;
}

const FaultRule* FaultRules::match(proto::Op op, const std::optional<std::string>& firstArg) const
{
    for (const auto& rule : m_rules) {
        if (rule.op == op && (!rule.arg || rule.arg == firstArg)) {
            return &rule;
        }
    }
    return nullptr;
}

FaultRules FaultRules::forTerminal(const std::string& address) const
{
    std::vector<FaultRule> rules;
    for (const auto& rule : m_rules) {
        if (!rule.terminal || rule.terminal == address) {
            rules.push_back(rule);
        }
    }
    return FaultRules(std::move(rules));
}
