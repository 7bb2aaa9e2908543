#include "TermCtl.h"

#include "ITermLink.h"
#include "Ipv4Address.h"
#include "Number.h"
#include "TerminalConstants.h"
#include "Utf8.h"

#include <functional>
#include <optional>
#include <ostream>
#include <span>

namespace termlink {

namespace {

// An operation's arguments after MachineNumber, already parsed.
struct Arguments {
    std::vector<std::int32_t> numbers;
    std::vector<std::u16string> texts;
};

struct Command {
    const char* name;
    const char* synopsis; // argument names for the help
    const char* kinds; // one letter per argument: n number, t text
    bool readsText;
    std::function<CallResult(ITermLink&, const Arguments&, std::u16string&)> run;
};

const std::vector<Command>& commands()
{
    using A = const Arguments&;
    using L = ITermLink&;
    using T = std::u16string&;
    static const std::vector<Command> table {
        { "ReadSerialNumber", "", "", true, [](L l, A, T t) { return l.ReadSerialNumber(kMachineNumber, t); } },
        { "ReadProductName", "", "", true, [](L l, A, T t) { return l.ReadProductName(kMachineNumber, t); } },
        { "ReadFirmwareVersion", "", "", true, [](L l, A, T t) { return l.ReadFirmwareVersion(kMachineNumber, t); } },
        { "ReadSdkVersion", "", "", true, [](L l, A, T t) { return l.ReadSdkVersion(t); } },
        { "ConnectNetwork", "", "", false, nullptr }, // the connect that every command makes first
        { "DisconnectTerminal", "", "", false, [](L l, A, T) { return l.DisconnectTerminal(); } },
        { "SetCommKey", "KEY", "n", false, [](L l, A a, T) { return l.SetCommKey(a.numbers[0]); } },
        { "ReadTimeZone", "INDEX", "n", true,
            [](L l, A a, T t) { return l.ReadTimeZone(kMachineNumber, a.numbers[0], t); } },
        { "WriteTimeZone", "INDEX TEXT", "nt", false,
            [](L l, A a, T) { return l.WriteTimeZone(kMachineNumber, a.numbers[0], a.texts[0]); } },
        { "ReadGroupText", "GROUP", "n", true,
            [](L l, A a, T t) { return l.ReadGroupText(kMachineNumber, a.numbers[0], t); } },
        { "WriteGroupNumber", "GROUP NUMBER", "nn", false,
            [](L l, A a, T) { return l.WriteGroupNumber(kMachineNumber, a.numbers[0], a.numbers[1]); } },
        { "RestartTerminal", "", "", false, [](L l, A, T) { return l.RestartTerminal(kMachineNumber); } },
        { "ReadVendorName", "", "", true, [](L l, A, T t) { return l.ReadVendorName(t); } },
        { "ReadOption", "NAME", "t", true, [](L l, A a, T t) { return l.ReadOption(kMachineNumber, a.texts[0], t); } },
        { "WriteOption", "NAME VALUE", "tt", false,
            [](L l, A a, T) { return l.WriteOption(kMachineNumber, a.texts[0], a.texts[1]); } },
        { "WriteUnlockCombination", "C1 C2 C3 C4 C5 C6", "nnnnnn", false,
            [](L l, A a, T) {
                const auto& n = a.numbers;
                return l.WriteUnlockCombination(kMachineNumber, n[0], n[1], n[2], n[3], n[4], n[5]);
            } },
        { "IsColorTerminal", "", "", false, [](L l, A, T) { return l.IsColorTerminal(kMachineNumber); } },
    };
    return table;
}

int usageError(std::ostream& err, const std::string& message)
{
    err << "termctl: " << message << "\nTry 'termctl --help'.\n";
    return kExitFailure;
}

} // namespace

std::string termCtlUsage()
{
    std::string text = "Usage: termctl [--key N] ADDR OPERATION [ARGS...]\n"
                       "Connects to the terminal at ADDR (a dotted IPv4 address) on port 4370 with the\n"
                       "communication key N (default 0), runs one operation for machine number 1 and\n"
                       "prints its result, then the text it read, if any.\n"
                       "Exit status: 0 true, 1 false (also when the connection is refused),\n"
                       "2 a failure status or bad usage.\n\nOperations:\n";
    for (const Command& command : commands()) {
        text += "  ";
        text += command.name;
        if (*command.synopsis) {
            text += ' ';
            text += command.synopsis;
        }
        text += '\n';
    }
    return text;
}

int runTermCtl(const std::vector<std::string>& args, ITermLink& link, std::ostream& out, std::ostream& err)
{
    std::span<const std::string> rest(args);
    if (!rest.empty() && (rest[0] == "--help" || rest[0] == "-h")) {
        out << termCtlUsage();
        return kExitTrue;
    }
    std::int32_t key = 0;
    if (!rest.empty() && rest[0] == "--key") {
        if (rest.size() < 2)
            return usageError(err, "--key needs a number");
        const auto parsed = parseInt32(rest[1]);
        if (!parsed)
            return usageError(err, "the key '" + rest[1] + "' is not a 32-bit integer");
        key = *parsed;
        rest = rest.subspan(2);
    }
    if (rest.size() < 2)
        return usageError(err, "an address and an operation are needed");
    const std::string& address = rest[0];
    if (!parseDottedQuad(address))
        return usageError(err, "'" + address + "' is not a dotted IPv4 address");

    const Command* command = nullptr;
    for (const Command& candidate : commands()) {
        if (rest[1] == candidate.name)
            command = &candidate;
    }
    if (!command)
        return usageError(err, "unknown operation '" + rest[1] + "'");

    const std::string kinds = command->kinds;
    const auto given = rest.subspan(2);
    if (given.size() != kinds.size())
        return usageError(err,
            std::string(command->name) + " takes " + std::to_string(kinds.size())
                + " argument(s): " + (*command->synopsis ? command->synopsis : "none"));
    Arguments arguments;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (kinds[i] == 't') {
            arguments.texts.push_back(fromUtf8(given[i]));
            continue;
        }
        const auto number = parseInt32(given[i]);
        if (!number)
            return usageError(err, "'" + given[i] + "' is not a 32-bit integer");
        arguments.numbers.push_back(*number);
    }

    auto reportFailure = [&](const CallResult& result) {
        err << "termctl: " << termLinkErrorText(result.status, result.description) << '\n';
        return kExitFailure;
    };

    if (const CallResult set = link.SetCommKey(key); failed(set.status))
        return reportFailure(set);
    const CallResult connected = link.ConnectNetwork(fromUtf8(address), kTerminalPort);
    if (failed(connected.status))
        return reportFailure(connected);
    if (connected.value == 0) {
        if (!command->run) {
            out << "false\n";
            return kExitFalse;
        }
        // The control's sentence, else the cause its status names.
        const ConnectFailure cause = connectFailureFromStatus(connected.status);
        err << "termctl: Unable to connect to " << address;
        if (!connected.description.empty())
            err << ": " << toUtf8(connected.description);
        else if (cause != ConnectFailure::Unknown)
            err << ": " << connectFailureName(cause);
        err << '\n';
        return kExitFalse;
    }

    int status = kExitTrue;
    if (command->run) {
        std::u16string text;
        const CallResult result = command->run(link, arguments, text);
        if (failed(result.status)) {
            link.DisconnectTerminal();
            return reportFailure(result);
        }
        out << (result.value != 0 ? "true" : "false") << '\n';
        if (command->readsText)
            out << toUtf8(text) << '\n';
        status = result.value != 0 ? kExitTrue : kExitFalse;
    } else {
        out << "true\n";
    }
    link.DisconnectTerminal();
    return status;
}

} // namespace termlink
