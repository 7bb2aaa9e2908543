#pragma once

// termsim's defaults, once: the command line, the server's configuration,
// the lockout policy and the usage text all take them from here.
namespace termsim_defaults {

inline constexpr int kRestartMs = 500; // how long RestartTerminal refuses connections
inline constexpr int kAuthTimeoutMs = 2000; // from accept to a valid Auth
inline constexpr int kIoTimeoutMs = 5000; // to finish a frame once begun, and each write
inline constexpr int kMaxConnections = 256;
inline constexpr int kMaxPendingPerAddress = 8; // connections before their key check
inline constexpr int kAddressFailures = 5; // wrong keys from one address within a minute
inline constexpr int kAddressLockoutMs = 30000;
inline constexpr int kTerminalFailures = 20; // wrong keys from all addresses within a minute
inline constexpr int kTerminalLockoutMs = 60000;

} // namespace termsim_defaults
