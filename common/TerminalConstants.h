#pragma once

#include <cstdint>

// Every terminal listens on this port; tests that need several terminals give
// each its own loopback address instead.
inline constexpr std::int32_t kTerminalPort = 4370;

// The terminal number passed to every per-terminal operation.
inline constexpr std::int32_t kMachineNumber = 1;

// How the control's text for an unanswered request begins; the site tool
// tells a timeout from other failures by it.
inline constexpr char kNoAnswerText[] = "The terminal did not answer within";
