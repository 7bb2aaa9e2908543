#include "KeyExchange.h"

#include "SodiumSupport.h"

#include <sodium.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace proto {

namespace {

using detail::bytesOf;
using detail::ensureSodium;

void hmacSha512(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data, std::uint8_t* out)
{
    // The streaming form takes a key of any length; the one-shot form would
    // read exactly 32 key bytes.
    crypto_auth_hmacsha512_state state;
    crypto_auth_hmacsha512_init(&state, key.data(), key.size());
    crypto_auth_hmacsha512_update(&state, data.data(), data.size());
    crypto_auth_hmacsha512_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

// HKDF-Expand (RFC 5869) with HMAC-SHA512 for one 32-byte key: ISK is already
// uniform, so it serves as the pseudorandom key without an extract step.
SessionKey expand(const cpace::Hash& isk, std::string_view info)
{
    std::vector<std::uint8_t> input(info.begin(), info.end());
    input.push_back(0x01);
    cpace::Hash block {};
    hmacSha512(isk, input, block.data());
    SessionKey key {};
    std::copy_n(block.begin(), key.size(), key.begin());
    sodium_memzero(block.data(), block.size());
    return key;
}

// Everything after both shares and K are known; K never leaves this function.
void completeSchedule(KeySchedule& s, const cpace::Element& k)
{
    s.isk = cpace::intermediateSessionKey(s.sid, k, s.ya, bytesOf(kControlAd), s.yb, bytesOf(kTerminalAd));
    std::vector<std::uint8_t> macInput { 'C', 'P', 'a', 'c', 'e', 'M', 'a', 'c' };
    macInput.insert(macInput.end(), s.sid.begin(), s.sid.end());
    macInput.insert(macInput.end(), s.isk.begin(), s.isk.end());
    crypto_hash_sha512(s.macKey.data(), macInput.data(), macInput.size());
    sodium_memzero(macInput.data(), macInput.size());
    hmacSha512(s.macKey, cpace::lvCat({ s.ya, bytesOf(kControlAd) }), s.ta.data());
    hmacSha512(s.macKey, cpace::lvCat({ s.yb, bytesOf(kTerminalAd) }), s.tb.data());
    s.controlToTerminal = expand(s.isk, "Latchwise control to terminal");
    s.terminalToControl = expand(s.isk, "Latchwise terminal to control");
}

const std::vector<std::uint8_t>* bytesField(const Message& message, std::size_t index, std::size_t size)
{
    if (index >= message.fields.size())
        return nullptr;
    const auto* bytes = std::get_if<Bytes>(&message.fields[index]);
    return bytes && bytes->data.size() == size ? &bytes->data : nullptr;
}

std::vector<std::uint8_t> randomNonce()
{
    ensureSodium();
    std::vector<std::uint8_t> nonce(kNonceSize);
    randombytes_buf(nonce.data(), nonce.size());
    return nonce;
}

std::vector<std::uint8_t> fixedNonce(std::span<const std::uint8_t> nonce)
{
    if (nonce.size() != kNonceSize)
        throw std::invalid_argument("a key check nonce is 16 bytes");
    return { nonce.begin(), nonce.end() };
}

void putU32(std::uint8_t* p, std::uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

using AeadNonce = std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES>;

AeadNonce counterNonce(std::uint64_t counter)
{
    AeadNonce nonce {};
    for (int k = 0; k < 8; ++k)
        nonce[4 + k] = static_cast<std::uint8_t>(counter >> (8 * k));
    return nonce;
}

void wipe(KeySchedule& s)
{
    sodium_memzero(s.isk.data(), s.isk.size());
    sodium_memzero(s.macKey.data(), s.macKey.size());
    sodium_memzero(s.controlToTerminal.data(), s.controlToTerminal.size());
    sodium_memzero(s.terminalToControl.data(), s.terminalToControl.size());
}

DecodeResult invalid(std::string why)
{
    DecodeResult r;
    r.status = DecodeStatus::Invalid;
    r.error = std::move(why);
    return r;
}

} // namespace

std::array<std::uint8_t, 4> keyBytes(std::int32_t key)
{
    const auto k = static_cast<std::uint32_t>(key);
    return { static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k >> 16),
        static_cast<std::uint8_t>(k >> 24) };
}

// --- SessionCipher ---

SessionCipher::SessionCipher(const SessionKey& sendKey, const SessionKey& receiveKey)
    : m_sendKey(sendKey)
    , m_receiveKey(receiveKey)
{
    ensureSodium();
}

SessionCipher::~SessionCipher()
{
    sodium_memzero(m_sendKey.data(), m_sendKey.size());
    sodium_memzero(m_receiveKey.data(), m_receiveKey.size());
}

std::vector<std::uint8_t> SessionCipher::seal(const Message& message)
{
    if (m_sent == std::numeric_limits<std::uint64_t>::max())
        throw std::length_error("protocol: the session's frame counter is used up");
    std::vector<std::uint8_t> frame = encode(message, kMaxFrame - kSealOverhead);
    const std::size_t plainSize = frame.size() - kLengthPrefix;
    putU32(frame.data(), static_cast<std::uint32_t>(plainSize + kSealOverhead));
    frame.resize(frame.size() + kSealOverhead);
    const AeadNonce nonce = counterNonce(m_sent);
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(frame.data() + kLengthPrefix,
        frame.data() + frame.size() - kSealOverhead, nullptr, frame.data() + kLengthPrefix, plainSize, frame.data(),
        kLengthPrefix, nullptr, nonce.data(), m_sendKey.data());
    ++m_sent;
    return frame;
}

DecodeResult SessionCipher::open(std::span<const std::uint8_t> input)
{
    if (input.size() < kLengthPrefix)
        return {};
    const std::uint32_t length = static_cast<std::uint32_t>(input[0]) | (static_cast<std::uint32_t>(input[1]) << 8)
        | (static_cast<std::uint32_t>(input[2]) << 16) | (static_cast<std::uint32_t>(input[3]) << 24);
    if (length < kHeaderSize + kSealOverhead)
        return invalid("sealed frame shorter than its header and tag");
    if (length > kMaxFrame - kLengthPrefix)
        return invalid("frame longer than 64 KiB");
    if (input.size() - kLengthPrefix < length)
        return {};
    if (m_received == std::numeric_limits<std::uint64_t>::max())
        return invalid("the session's frame counter is used up");

    // The opened frame gets its own, shorter length prefix, so the ordinary
    // decoder checks its contents.
    const std::size_t plainSize = length - kSealOverhead;
    std::vector<std::uint8_t> plain(kLengthPrefix + plainSize);
    putU32(plain.data(), static_cast<std::uint32_t>(plainSize));
    const AeadNonce nonce = counterNonce(m_received);
    if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(plain.data() + kLengthPrefix, nullptr,
            input.data() + kLengthPrefix, plainSize, input.data() + kLengthPrefix + plainSize, input.data(),
            kLengthPrefix, nonce.data(), m_receiveKey.data())
        != 0) {
        return invalid("a frame failed its integrity check (changed, replayed or out of order)");
    }
    ++m_received;
    DecodeResult r = decode(plain);
    if (r.status == DecodeStatus::Ok && r.consumed != plain.size())
        return invalid("sealed frame holds more than one frame");
    if (r.status == DecodeStatus::NeedMore)
        return invalid("sealed frame holds a truncated frame");
    if (r.status == DecodeStatus::Ok)
        r.consumed = kLengthPrefix + length;
    return r;
}

// --- ControlHandshake ---

ControlHandshake::ControlHandshake(std::int32_t key)
    : m_password(keyBytes(key))
    , m_nonce(randomNonce())
    , m_scalar(cpace::sampleScalar())
{
}

ControlHandshake::ControlHandshake(std::int32_t key, std::span<const std::uint8_t> nonce, const cpace::Scalar& scalar)
    : m_password(keyBytes(key))
    , m_nonce(fixedNonce(nonce))
    , m_scalar(scalar)
{
}

ControlHandshake::~ControlHandshake()
{
    sodium_memzero(m_scalar.data(), m_scalar.size());
    wipe(m_schedule);
    sodium_memzero(m_password.data(), m_password.size());
}

std::optional<Message> ControlHandshake::answerHello(const Message& hello)
{
    const auto* nonceT = bytesField(hello, 0, kNonceSize);
    if (hello.kind != Kind::Hello || hello.fields.size() != 1 || !nonceT)
        return std::nullopt;
    m_schedule.sid = *nonceT;
    m_schedule.sid.insert(m_schedule.sid.end(), m_nonce.begin(), m_nonce.end());
    m_schedule.generator = cpace::calculateGenerator(m_password, bytesOf(kChannelId), m_schedule.sid);
    const auto ya = cpace::scalarMultVfy(m_scalar, m_schedule.generator);
    if (!ya)
        return std::nullopt; // only for a scalar of zero, which sampling never gives
    m_schedule.ya = *ya;
    return Message { Kind::Auth, Op::None, 0, { Bytes { m_nonce }, Bytes { { ya->begin(), ya->end() } } } };
}

bool ControlHandshake::checkProof(const Message& proof)
{
    const auto* yb = bytesField(proof, 0, kElementSize);
    const auto* tb = bytesField(proof, 1, kTagSize);
    if (m_schedule.sid.empty() || proof.kind != Kind::Proof || proof.fields.size() != 2 || !yb || !tb)
        return false;
    std::copy(yb->begin(), yb->end(), m_schedule.yb.begin());
    auto k = cpace::scalarMultVfy(m_scalar, m_schedule.yb);
    if (!k)
        return false;
    completeSchedule(m_schedule, *k);
    sodium_memzero(k->data(), k->size());
    m_proved = crypto_verify_64(m_schedule.tb.data(), tb->data()) == 0;
    return m_proved;
}

Message ControlHandshake::confirmation() const
{
    if (!m_proved)
        throw std::logic_error("the terminal has not proved the key");
    return { Kind::Confirm, Op::None, 0, { Bytes { { m_schedule.ta.begin(), m_schedule.ta.end() } } } };
}

SessionCipher ControlHandshake::cipher() const
{
    if (!m_proved)
        throw std::logic_error("the terminal has not proved the key");
    return { m_schedule.controlToTerminal, m_schedule.terminalToControl };
}

Message ControlHandshake::mismatch()
{
    return { Kind::Confirm, Op::None, 0, { Bytes {} } };
}

// --- TerminalHandshake ---

TerminalHandshake::TerminalHandshake(std::int32_t key)
    : m_password(keyBytes(key))
    , m_nonce(randomNonce())
    , m_scalar(cpace::sampleScalar())
{
}

TerminalHandshake::TerminalHandshake(std::int32_t key, std::span<const std::uint8_t> nonce, const cpace::Scalar& scalar)
    : m_password(keyBytes(key))
    , m_nonce(fixedNonce(nonce))
    , m_scalar(scalar)
{
}

TerminalHandshake::~TerminalHandshake()
{
    sodium_memzero(m_scalar.data(), m_scalar.size());
    wipe(m_schedule);
    sodium_memzero(m_password.data(), m_password.size());
}

Message TerminalHandshake::hello() const
{
    return { Kind::Hello, Op::None, 0, { Bytes { m_nonce } } };
}

std::optional<Message> TerminalHandshake::answerAuth(const Message& auth)
{
    const auto* nonceC = bytesField(auth, 0, kNonceSize);
    const auto* ya = bytesField(auth, 1, kElementSize);
    if (m_answered || auth.kind != Kind::Auth || auth.fields.size() != 2 || !nonceC || !ya)
        return std::nullopt;
    m_schedule.sid = m_nonce;
    m_schedule.sid.insert(m_schedule.sid.end(), nonceC->begin(), nonceC->end());
    m_schedule.generator = cpace::calculateGenerator(m_password, bytesOf(kChannelId), m_schedule.sid);
    std::copy(ya->begin(), ya->end(), m_schedule.ya.begin());
    const auto yb = cpace::scalarMultVfy(m_scalar, m_schedule.generator);
    auto k = cpace::scalarMultVfy(m_scalar, m_schedule.ya);
    if (!yb || !k)
        return std::nullopt;
    m_schedule.yb = *yb;
    completeSchedule(m_schedule, *k);
    sodium_memzero(k->data(), k->size());
    m_answered = true;
    return Message { Kind::Proof, Op::None, 0,
        { Bytes { { yb->begin(), yb->end() } }, Bytes { { m_schedule.tb.begin(), m_schedule.tb.end() } } } };
}

TerminalHandshake::Verdict TerminalHandshake::checkConfirm(const Message& confirm) const
{
    if (!m_answered || confirm.kind != Kind::Confirm || confirm.fields.size() != 1)
        return Verdict::Malformed;
    const auto* tag = std::get_if<Bytes>(&confirm.fields[0]);
    if (!tag || (!tag->data.empty() && tag->data.size() != kTagSize))
        return Verdict::Malformed;
    if (tag->data.empty() || crypto_verify_64(m_schedule.ta.data(), tag->data.data()) != 0)
        return Verdict::WrongKey;
    return Verdict::Proved;
}

SessionCipher TerminalHandshake::cipher() const
{
    if (!m_answered)
        throw std::logic_error("the key check has not run");
    return { m_schedule.terminalToControl, m_schedule.controlToTerminal };
}

Message authResult(AuthCode code, std::string reason)
{
    return { Kind::AuthResult, Op::None, 0, { static_cast<std::int32_t>(code), std::move(reason) } };
}

std::string unsupportedVersionText(std::uint8_t peerVersion)
{
    return "unsupported protocol version " + std::to_string(peerVersion) + " (this side speaks version "
        + std::to_string(kVersion) + ")";
}

Message versionRefusal(std::uint8_t peerVersion)
{
    return authResult(AuthCode::WrongKey, unsupportedVersionText(peerVersion));
}

} // namespace proto
