#pragma once

#include "Defaults.h"
#include "FaultRules.h"
#include "TerminalConstants.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// The command line of `termsim` and the whole program behind it; main() only
// passes argv through. docs/termsim.md describes every option.
struct TermsimOptions {
    std::string listen; // dotted IPv4 address; a site's first terminal
    std::uint16_t port = kTerminalPort;
    int count = 1; // terminals on consecutive addresses from `listen`
    std::string stateFile; // one terminal
    std::string stateDir; // a site: one state file per terminal, named by its address
    std::string journalFile; // empty: no journal
    std::optional<std::int32_t> key;
    int restartMs = termsim_defaults::kRestartMs;
    int authTimeoutMs = termsim_defaults::kAuthTimeoutMs;
    int ioTimeoutMs = termsim_defaults::kIoTimeoutMs;
    int maxConnections = termsim_defaults::kMaxConnections;
    int maxPendingPerAddress = termsim_defaults::kMaxPendingPerAddress;
    int addressFailures = termsim_defaults::kAddressFailures;
    int addressLockoutMs = termsim_defaults::kAddressLockoutMs;
    int terminalFailures = termsim_defaults::kTerminalFailures;
    int terminalLockoutMs = termsim_defaults::kTerminalLockoutMs;
    bool sync = true; // --no-sync clears it
    int latencyMs = 0; // each answer waits this long
    std::vector<FaultRule> fails;
    bool help = false;
};

// The address of terminal `index` (0-based) of the site.
std::string siteAddress(const TermsimOptions& options, int index);

// `args` without the program name. Throws std::invalid_argument with a
// message that names the offending option.
TermsimOptions parseTermsimOptions(const std::vector<std::string>& args);
std::string termsimUsage();

// Serves until SIGTERM or SIGINT. Returns the process exit status: 0 after a
// clean stop, 1 when the state, the journal or the port cannot be used.
int runTermsim(const TermsimOptions& options, std::ostream& out, std::ostream& err);
