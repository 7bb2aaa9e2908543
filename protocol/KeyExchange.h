#pragma once

#include "Cpace.h"
#include "Protocol.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The key check both ends run, and the frame protection that follows it.
// docs/protocol.md describes every byte and has test vectors.
//
//   terminal -> Hello   {nonceT[16]}
//   control  -> Auth    {nonceC[16], Ya[32]}       sid = nonceT || nonceC
//   terminal -> Proof   {Yb[32], Tb[64]}           the terminal proves first
//   control  -> Confirm {Ta[64]}, or {} when Tb did not match
//   terminal -> AuthResult {0, ""} sealed, or {1 wrong key | 2 locked out, reason}
//
// The generator comes from the key (CPace on ristretto255), so neither a
// recording nor a fake terminal can test keys offline: each connection is at
// most one guess. The control answers a Proof it cannot verify with an empty
// Confirm, which carries nothing derived from its key.
namespace proto {

using SessionKey = std::array<std::uint8_t, 32>;
using Tag = std::array<std::uint8_t, kTagSize>;

// The key check's inputs, apart from the key: fixed, and never sent.
inline constexpr char kChannelId[] = "Latchwise key check 2";
inline constexpr char kControlAd[] = "control";
inline constexpr char kTerminalAd[] = "terminal";

// What both sides derive once both shares are known. Exposed for the test
// vectors; nothing outside protocol/ needs it.
struct KeySchedule {
    std::vector<std::uint8_t> sid; // nonceT || nonceC
    cpace::Element generator {};
    cpace::Element ya {}; // the control's share
    cpace::Element yb {}; // the terminal's share
    cpace::Hash isk {};
    cpace::Hash macKey {};
    Tag ta {}; // the control's proof
    Tag tb {}; // the terminal's proof
    SessionKey controlToTerminal {};
    SessionKey terminalToControl {};
};

// The communication key as the password: its 4 bytes, little-endian two's complement.
std::array<std::uint8_t, 4> keyBytes(std::int32_t key);

// Protects every frame after the key check with ChaCha20-Poly1305 (IETF): one
// key per direction, the nonce a per-direction counter, so a changed,
// replayed, dropped or reordered frame fails to open.
//
//   sealed frame = u32 length | ciphertext | tag[16]
//   plaintext    = the frame's bytes after its own length prefix
//   nonce        = 4 zero bytes | u64 counter, little-endian; AD = the length bytes
class SessionCipher {
public:
    SessionCipher(const SessionKey& sendKey, const SessionKey& receiveKey);
    ~SessionCipher();
    SessionCipher(const SessionCipher&) = default;
    SessionCipher& operator=(const SessionCipher&) = default;

    // Throws std::length_error, as encode() does, when the sealed frame would
    // break a bound; the counter then stays where it was.
    std::vector<std::uint8_t> seal(const Message& message);
    // As decode(), for sealed frames: Invalid when a frame does not open (its
    // error says so) or its contents break the protocol.
    DecodeResult open(std::span<const std::uint8_t> input);

private:
    SessionKey m_sendKey;
    SessionKey m_receiveKey;
    std::uint64_t m_sent = 0;
    std::uint64_t m_received = 0;
};

// The control's side of the key check.
class ControlHandshake {
public:
    explicit ControlHandshake(std::int32_t key);
    // Fixed nonce and scalar, for test vectors only.
    ControlHandshake(std::int32_t key, std::span<const std::uint8_t> nonce, const cpace::Scalar& scalar);
    ~ControlHandshake();
    ControlHandshake(const ControlHandshake&) = delete;
    ControlHandshake& operator=(const ControlHandshake&) = delete;

    // The Auth that answers a Hello; nothing when the Hello is malformed.
    std::optional<Message> answerHello(const Message& hello);
    // True when the Proof shows the terminal knows the key. Only then may
    // confirmation() be sent and cipher() be used.
    bool checkProof(const Message& proof);
    Message confirmation() const;
    SessionCipher cipher() const;
    const KeySchedule& schedule() const { return m_schedule; }

    // What the control sends when the Proof did not match: no key material.
    static Message mismatch();

private:
    std::array<std::uint8_t, 4> m_password;
    std::vector<std::uint8_t> m_nonce;
    cpace::Scalar m_scalar;
    KeySchedule m_schedule;
    bool m_proved = false;
};

// The terminal's side.
class TerminalHandshake {
public:
    explicit TerminalHandshake(std::int32_t key);
    TerminalHandshake(std::int32_t key, std::span<const std::uint8_t> nonce, const cpace::Scalar& scalar);
    ~TerminalHandshake();
    TerminalHandshake(const TerminalHandshake&) = delete;
    TerminalHandshake& operator=(const TerminalHandshake&) = delete;

    Message hello() const;
    // The Proof that answers an Auth; nothing when the Auth is malformed or its
    // share is not a usable element.
    std::optional<Message> answerAuth(const Message& auth);

    enum class Verdict { Proved, WrongKey, Malformed };
    // Proved: the control knows the key. WrongKey: its tag did not match, or it
    // said our Proof did not match (the keys differ). Malformed: not a Confirm.
    Verdict checkConfirm(const Message& confirm) const;
    SessionCipher cipher() const;
    const KeySchedule& schedule() const { return m_schedule; }

private:
    std::array<std::uint8_t, 4> m_password;
    std::vector<std::uint8_t> m_nonce;
    cpace::Scalar m_scalar;
    KeySchedule m_schedule;
    bool m_answered = false;
};

enum class AuthCode : std::int32_t { Accepted = 0, WrongKey = 1, LockedOut = 2 };
Message authResult(AuthCode code, std::string reason);

// The refusal of a peer that speaks another protocol version. Sent as an
// AuthResult framed with the peer's version byte, so that a version 1 peer,
// whose AuthResult has the same shape, can read it.
Message versionRefusal(std::uint8_t peerVersion);
std::string unsupportedVersionText(std::uint8_t peerVersion);

} // namespace proto
