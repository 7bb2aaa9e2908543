#pragma once

#include "Status.h"

#include <cstdint>
#include <string>

// Why a ConnectNetwork answered false. The numbers cross the library boundary
// (below), so a cause keeps its number for good and new ones go at the end.
enum class ConnectFailure : std::int32_t {
    None = 0, // the connect succeeded, or none was made
    InvalidAddress = 1, // not a dotted IPv4 address, a bad port, or refused by the loopback guard
    Unreachable = 2, // the TCP connect was refused or failed
    TimedOut = 3, // no TCP connect, or no answer during the key check, within the bound
    WrongKey = 4, // the terminal refused the key
    LockedOut = 5, // the terminal refuses key checks for a while after too many wrong keys
    TerminalUnproven = 6, // the other end could not prove that it knows the key
    ProtocolVersion = 7, // the terminal speaks another protocol version
    BrokenHandshake = 8, // the terminal closed or sent something unreadable during the key check
    Unknown = 9, // the control answered false without naming a cause
};

struct ConnectFailureInfo {
    ConnectFailure cause = ConnectFailure::None;
    std::string text; // for a person: what happened, in one sentence
};

// A ConnectNetwork that answers false is a call that worked, so its status is
// success class (non-negative, as S_FALSE is) and callers that only test
// failed() and the result see "false" as they always did. Its code names the
// cause: 0x00040200 + the cause, a success code of the interface facility.
inline constexpr HResult kConnectFailureBase = 0x00040200;

constexpr HResult connectFailureStatus(ConnectFailure cause)
{
    return cause == ConnectFailure::None ? kSOk : kConnectFailureBase + static_cast<HResult>(cause);
}

// The cause that the status of a ConnectNetwork that answered false names;
// Unknown for any other status (S_OK from a control that names none).
ConnectFailure connectFailureFromStatus(HResult status);

// "wrong key", "locked out", ...: a few words for when the control gave no
// sentence.
const char* connectFailureName(ConnectFailure cause);
