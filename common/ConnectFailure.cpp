#include "ConnectFailure.h"

ConnectFailure connectFailureFromStatus(HResult status)
{
    const HResult code = status - kConnectFailureBase;
    if (code < static_cast<HResult>(ConnectFailure::InvalidAddress)
        || code > static_cast<HResult>(ConnectFailure::Unknown))
        return ConnectFailure::Unknown;
    return static_cast<ConnectFailure>(code);
}

const char* connectFailureName(ConnectFailure cause)
{
    switch (cause) {
    case ConnectFailure::None:
        return "connected";
    case ConnectFailure::InvalidAddress:
        return "invalid address";
    case ConnectFailure::Unreachable:
        return "unreachable";
    case ConnectFailure::TimedOut:
        return "timed out";
    case ConnectFailure::WrongKey:
        return "wrong key";
    case ConnectFailure::LockedOut:
        return "locked out";
    case ConnectFailure::TerminalUnproven:
        return "the terminal did not prove the key";
    case ConnectFailure::ProtocolVersion:
        return "another protocol version";
    case ConnectFailure::BrokenHandshake:
        return "the key check broke off";
    case ConnectFailure::Unknown:
        break;
    }
    return "the connect failed";
}
