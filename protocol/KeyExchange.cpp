#include "KeyExchange.h"

#include "SodiumSupport.h"
#include "WireSupport.h"

#include <sodium.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace proto {

namespace {

using detail::bytesOf;
using detail::ensureSodium;
using detail::invalid;

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

// Each side's associated data: its fixed name, then the offer (control) or
// the choice (terminal), so that each proof covers what its side said.
std::vector<std::uint8_t> controlAd(const KeySchedule& s)
{
    std::vector<std::uint8_t> ad(std::begin(kControlAd), std::end(kControlAd) - 1);
    ad.insert(ad.end(), s.offer.begin(), s.offer.end());
    return ad;
}

std::vector<std::uint8_t> terminalAd(const KeySchedule& s)
{
    std::vector<std::uint8_t> ad(std::begin(kTerminalAd), std::end(kTerminalAd) - 1);
    ad.push_back(static_cast<std::uint8_t>(s.aead));
    return ad;
}

// Everything after both shares and K are known; K never leaves this function.
void completeSchedule(KeySchedule& s, const cpace::Element& k)
{
    const auto adA = controlAd(s);
    const auto adB = terminalAd(s);
    s.isk = cpace::intermediateSessionKey(s.sid, k, s.ya, adA, s.yb, adB);
    std::vector<std::uint8_t> macInput { 'C', 'P', 'a', 'c', 'e', 'M', 'a', 'c' };
    macInput.insert(macInput.end(), s.sid.begin(), s.sid.end());
    macInput.insert(macInput.end(), s.isk.begin(), s.isk.end());
    crypto_hash_sha512(s.macKey.data(), macInput.data(), macInput.size());
    sodium_memzero(macInput.data(), macInput.size());
    hmacSha512(s.macKey, cpace::lvCat({ s.ya, adA }), s.ta.data());
    hmacSha512(s.macKey, cpace::lvCat({ s.yb, adB }), s.tb.data());
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

static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == crypto_aead_aes256gcm_NPUBBYTES);
static_assert(
    crypto_aead_chacha20poly1305_ietf_ABYTES == kSealOverhead && crypto_aead_aes256gcm_ABYTES == kSealOverhead);
using AeadNonce = std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES>;

bool aesAvailable()
{
    ensureSodium();
    return crypto_aead_aes256gcm_is_available() != 0;
}

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

// The offer as the Auth carries it: one byte per AEAD, best first.
std::vector<std::uint8_t> offerBytes(const std::vector<Aead>& offer)
{
    if (offer.empty() || offer.size() > kMaxAeadOffer)
        throw std::invalid_argument("an AEAD offer holds 1 to 8 entries");
    std::vector<std::uint8_t> bytes;
    for (const Aead aead : offer)
        bytes.push_back(static_cast<std::uint8_t>(aead));
    return bytes;
}

} // namespace

std::array<std::uint8_t, 4> keyBytes(std::int32_t key)
{
    const auto k = static_cast<std::uint32_t>(key);
    return { static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k >> 16),
        static_cast<std::uint8_t>(k >> 24) };
}

std::vector<Aead> supportedAeads()
{
    if (aesAvailable())
        return { Aead::Aes256Gcm, Aead::ChaCha20Poly1305 };
    return { Aead::ChaCha20Poly1305 };
}

// --- SessionCipher ---

SessionCipher::SessionCipher(Aead aead, const SessionKey& sendKey, const SessionKey& receiveKey)
    : m_aead(aead)
    , m_sendKey(sendKey)
    , m_receiveKey(receiveKey)
{
    ensureSodium();
    if (aead == Aead::Aes256Gcm) {
        if (!aesAvailable())
            throw std::invalid_argument("AES-256-GCM is not available on this processor");
        crypto_aead_aes256gcm_beforenm(&m_sendState, m_sendKey.data());
        crypto_aead_aes256gcm_beforenm(&m_receiveState, m_receiveKey.data());
    } else if (aead != Aead::ChaCha20Poly1305) {
        throw std::invalid_argument("unknown AEAD");
    }
}

SessionCipher::~SessionCipher()
{
    sodium_memzero(m_sendKey.data(), m_sendKey.size());
    sodium_memzero(m_receiveKey.data(), m_receiveKey.size());
    sodium_memzero(&m_sendState, sizeof m_sendState);
    sodium_memzero(&m_receiveState, sizeof m_receiveState);
}

std::vector<std::uint8_t> SessionCipher::seal(const Message& message)
{
    if (m_sent == std::numeric_limits<std::uint64_t>::max())
        throw std::length_error("protocol: the session's frame counter is used up");
    std::vector<std::uint8_t> frame = encode(message, kMaxFrame - kSealOverhead);
    const std::size_t plainSize = frame.size() - kLengthPrefix;
    detail::setU32(frame.data(), static_cast<std::uint32_t>(plainSize + kSealOverhead));
    frame.resize(frame.size() + kSealOverhead);
    const AeadNonce nonce = counterNonce(m_sent);
    std::uint8_t* text = frame.data() + kLengthPrefix; // sealed in place
    std::uint8_t* tag = frame.data() + frame.size() - kSealOverhead;
    if (m_aead == Aead::Aes256Gcm) {
        crypto_aead_aes256gcm_encrypt_detached_afternm(
            text, tag, nullptr, text, plainSize, frame.data(), kLengthPrefix, nullptr, nonce.data(), &m_sendState);
    } else {
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(
            text, tag, nullptr, text, plainSize, frame.data(), kLengthPrefix, nullptr, nonce.data(), m_sendKey.data());
    }
    ++m_sent;
    return frame;
}

DecodeResult SessionCipher::open(std::span<const std::uint8_t> input)
{
    if (input.size() < kLengthPrefix)
        return {};
    const std::uint32_t length = detail::getU32(input.data());
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
    detail::setU32(plain.data(), static_cast<std::uint32_t>(plainSize));
    const AeadNonce nonce = counterNonce(m_received);
    const std::uint8_t* text = input.data() + kLengthPrefix;
    const std::uint8_t* tag = text + plainSize;
    const int opened = m_aead == Aead::Aes256Gcm
        ? crypto_aead_aes256gcm_decrypt_detached_afternm(plain.data() + kLengthPrefix, nullptr, text, plainSize, tag,
            input.data(), kLengthPrefix, nonce.data(), &m_receiveState)
        : crypto_aead_chacha20poly1305_ietf_decrypt_detached(plain.data() + kLengthPrefix, nullptr, text, plainSize,
            tag, input.data(), kLengthPrefix, nonce.data(), m_receiveKey.data());
    if (opened != 0) {
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

ControlHandshake::ControlHandshake(std::int32_t key, std::vector<Aead> offer)
    : m_password(keyBytes(key))
    , m_nonce(randomNonce())
    , m_scalar(cpace::sampleScalar())
{
    m_schedule.offer = offerBytes(offer);
}

ControlHandshake::ControlHandshake(
    std::int32_t key, std::span<const std::uint8_t> nonce, const cpace::Scalar& scalar, std::vector<Aead> offer)
    : m_password(keyBytes(key))
    , m_nonce(fixedNonce(nonce))
    , m_scalar(scalar)
{
    m_schedule.offer = offerBytes(offer);
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
    return Message { Kind::Auth, Op::None, 0,
        { Bytes { m_nonce }, Bytes { { ya->begin(), ya->end() } }, Bytes { m_schedule.offer } } };
}

bool ControlHandshake::checkProof(const Message& proof)
{
    const auto* yb = bytesField(proof, 0, kElementSize);
    const auto* tb = bytesField(proof, 1, kTagSize);
    const auto* choice = bytesField(proof, 2, 1);
    if (m_schedule.sid.empty() || proof.kind != Kind::Proof || proof.fields.size() != 3 || !yb || !tb || !choice
        || std::ranges::find(m_schedule.offer, choice->front()) == m_schedule.offer.end())
        return false;
    m_schedule.aead = static_cast<Aead>(choice->front());
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
    return { m_schedule.aead, m_schedule.controlToTerminal, m_schedule.terminalToControl };
}

Message ControlHandshake::mismatch()
{
    return { Kind::Confirm, Op::None, 0, { Bytes {} } };
}

// --- TerminalHandshake ---

TerminalHandshake::TerminalHandshake(std::int32_t key, std::vector<Aead> usable)
    : m_password(keyBytes(key))
    , m_nonce(randomNonce())
    , m_scalar(cpace::sampleScalar())
    , m_usable(std::move(usable))
{
}

TerminalHandshake::TerminalHandshake(
    std::int32_t key, std::span<const std::uint8_t> nonce, const cpace::Scalar& scalar, std::vector<Aead> usable)
    : m_password(keyBytes(key))
    , m_nonce(fixedNonce(nonce))
    , m_scalar(scalar)
    , m_usable(std::move(usable))
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
    const auto* offer = auth.fields.size() == 3 ? std::get_if<Bytes>(&auth.fields[2]) : nullptr;
    if (m_answered || auth.kind != Kind::Auth || !nonceC || !ya || !offer || offer->data.empty()
        || offer->data.size() > kMaxAeadOffer)
        return std::nullopt;
    // The control's order decides; ids we do not know are passed over.
    const auto chosen = std::ranges::find_if(offer->data,
        [this](std::uint8_t id) { return std::ranges::find(m_usable, static_cast<Aead>(id)) != m_usable.end(); });
    if (chosen == offer->data.end())
        return std::nullopt;
    m_schedule.offer = offer->data;
    m_schedule.aead = static_cast<Aead>(*chosen);
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
        { Bytes { { yb->begin(), yb->end() } }, Bytes { { m_schedule.tb.begin(), m_schedule.tb.end() } },
            Bytes { { static_cast<std::uint8_t>(m_schedule.aead) } } } };
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
    return { m_schedule.aead, m_schedule.terminalToControl, m_schedule.controlToTerminal };
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
