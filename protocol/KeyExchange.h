#pragma once

#include "Cpace.h"
#include "Protocol.h"

#include <sodium.h>

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
//   control  -> Auth    {nonceC[16], Ya[32], offer}  sid = nonceT || nonceC
//   terminal -> Proof   {Yb[32], Tb[64], aead[1]}  the terminal proves first
//   control  -> Confirm {Ta[64]}, or {} when Tb did not match
//   terminal -> AuthResult {0, ""} sealed, or {1 wrong key | 2 locked out, reason}
//
// The generator comes from the key (CPace on ristretto255), so neither a
// recording nor a fake terminal can test keys offline: each connection is at
// most one guess. The control answers a Proof it cannot verify with an empty
// Confirm, which carries nothing derived from its key. The offer (the
// frame protections the control can use, best first) and the terminal's
// choice from it are part of what each side proves, so neither can be
// changed on the way.
namespace proto {

using SessionKey = std::array<std::uint8_t, 32>;
using Tag = std::array<std::uint8_t, kTagSize>;

// The key check's inputs, apart from the key: fixed, and never sent.
inline constexpr char kChannelId[] = "Latchwise key check 2";
inline constexpr char kControlAd[] = "control";
inline constexpr char kTerminalAd[] = "terminal";

// How the frames after the key check are protected, by its number on the wire.
enum class Aead : std::uint8_t { ChaCha20Poly1305 = 1, Aes256Gcm = 2 };
inline constexpr std::size_t kMaxAeadOffer = 8;

// What this machine can use, best first: AES-256-GCM where the processor has
// the instructions for it (about 2.5 times faster than ChaCha20-Poly1305 on
// a short frame here), then ChaCha20-Poly1305, which every side has.
std::vector<Aead> supportedAeads();

// What both sides derive once both shares are known. Exposed for the test
// vectors; nothing outside protocol/ needs it.
struct KeySchedule {
    std::vector<std::uint8_t> sid; // nonceT || nonceC
    std::vector<std::uint8_t> offer; // the control's, as sent
    Aead aead = Aead::ChaCha20Poly1305; // the terminal's choice
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

// Protects every frame after the key check with the chosen AEAD
// (ChaCha20-Poly1305 in its IETF form, or AES-256-GCM): one key per
// direction, the nonce a per-direction counter, so a changed, replayed,
// dropped or reordered frame fails to open.
//
//   sealed frame = u32 length | ciphertext | tag[16]
//   plaintext    = the frame's bytes after its own length prefix
//   nonce        = 4 zero bytes | u64 counter, little-endian; AD = the length bytes
class SessionCipher {
public:
    // Throws std::invalid_argument for an AEAD this machine cannot use.
    SessionCipher(Aead aead, const SessionKey& sendKey, const SessionKey& receiveKey);
    ~SessionCipher();
    SessionCipher(const SessionCipher&) = default;
    SessionCipher& operator=(const SessionCipher&) = default;

    // Throws std::length_error, as encode() does, when the sealed frame would
    // break a bound; the counter then stays where it was.
    std::vector<std::uint8_t> seal(const Message& message);
    // As decode(), for sealed frames: Invalid when a frame does not open (its
    // error says so) or its contents break the protocol.
    DecodeResult open(std::span<const std::uint8_t> input);

    Aead aead() const { return m_aead; }

private:
    Aead m_aead;
    SessionKey m_sendKey;
    SessionKey m_receiveKey;
    // AES-256-GCM's expanded keys, computed once per session.
    crypto_aead_aes256gcm_state m_sendState {};
    crypto_aead_aes256gcm_state m_receiveState {};
    std::uint64_t m_sent = 0;
    std::uint64_t m_received = 0;
};

// The control's side of the key check.
class ControlHandshake {
public:
    // Offers `offer` (by default what this machine can use), best first.
    explicit ControlHandshake(std::int32_t key, std::vector<Aead> offer = supportedAeads());
    // Fixed nonce and scalar, for test vectors only.
    ControlHandshake(
        std::int32_t key, std::span<const std::uint8_t> nonce, const cpace::Scalar& scalar, std::vector<Aead> offer);
    ~ControlHandshake();
    ControlHandshake(const ControlHandshake&) = delete;
    ControlHandshake& operator=(const ControlHandshake&) = delete;

    // The Auth that answers a Hello; nothing when the Hello is malformed.
    std::optional<Message> answerHello(const Message& hello);
    // True when the Proof shows the terminal knows the key (and chose an
    // AEAD that was offered). Only then may confirmation() be sent and
    // cipher() be used.
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
    KeySchedule m_schedule; // its offer is set at construction
    bool m_proved = false;
};

// The terminal's side.
class TerminalHandshake {
public:
    // Takes the first AEAD of the control's offer that is in `usable`.
    explicit TerminalHandshake(std::int32_t key, std::vector<Aead> usable = supportedAeads());
    TerminalHandshake(
        std::int32_t key, std::span<const std::uint8_t> nonce, const cpace::Scalar& scalar, std::vector<Aead> usable);
    ~TerminalHandshake();
    TerminalHandshake(const TerminalHandshake&) = delete;
    TerminalHandshake& operator=(const TerminalHandshake&) = delete;

    Message hello() const;
    // The Proof that answers an Auth; nothing when the Auth is malformed, its
    // share is not a usable element or its offer has no AEAD we can use.
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
    std::vector<Aead> m_usable;
    KeySchedule m_schedule;
    bool m_answered = false;
};

enum class AuthCode : std::int32_t { Accepted = 0, WrongKey = 1, LockedOut = 2 };
Message authResult(AuthCode code, std::string reason);

// The refusal of a peer that speaks another protocol version. Sent as an
// AuthResult framed with the peer's version byte, so that a peer of version 1
// or 2, whose AuthResult has the same shape, can read it.
Message versionRefusal(std::uint8_t peerVersion);
std::string unsupportedVersionText(std::uint8_t peerVersion);

} // namespace proto
