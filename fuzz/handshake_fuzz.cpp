// libFuzzer target: the key check's messages and the sealed frame layer.
// The first byte picks what the rest of the input plays:
//   0  frames sent to the terminal's side of the key check (Auth, Confirm)
//   1  frames sent to the control's side (Hello, Proof)
//   2  bytes given to a receiving SessionCipher (they never carry a valid tag)
//   3  a frame that is sealed, maybe changed in one bit, then opened: it must
//      open to what it was exactly when unchanged, and never when changed
// and its bit 2 which AEAD 2 and 3 use: ChaCha20-Poly1305, or AES-256-GCM
// where the processor has it.
#include "KeyExchange.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace {

std::vector<std::uint8_t> fixed(std::uint8_t fill)
{
    return std::vector<std::uint8_t>(proto::kNonceSize, fill);
}

proto::cpace::Scalar scalar(std::uint8_t low)
{
    proto::cpace::Scalar s {};
    s[0] = low | 1;
    return s;
}

// Feeds every frame of `input` to `take`, which returns false to stop.
template <typename Take> void frames(std::span<const std::uint8_t> input, Take take)
{
    while (!input.empty()) {
        const proto::DecodeResult r = proto::decode(input);
        if (r.consumed > input.size())
            std::abort();
        if (r.status != proto::DecodeStatus::Ok || !take(r.message))
            return;
        input = input.subspan(r.consumed);
    }
}

void terminalSide(std::span<const std::uint8_t> input)
{
    proto::TerminalHandshake terminal(12345, fixed(1), scalar(3), proto::supportedAeads());
    bool answered = false;
    frames(input, [&](const proto::Message& m) {
        if (!answered) {
            answered = terminal.answerAuth(m).has_value();
            return answered;
        }
        // Nothing without the key's Ta may pass.
        if (terminal.checkConfirm(m) == proto::TerminalHandshake::Verdict::Proved)
            std::abort();
        return true;
    });
}

void controlSide(std::span<const std::uint8_t> input)
{
    proto::ControlHandshake control(12345, fixed(2), scalar(5), proto::supportedAeads());
    bool started = false;
    frames(input, [&](const proto::Message& m) {
        if (!started) {
            started = control.answerHello(m).has_value();
            return started;
        }
        // A proof made without the terminal's secrets cannot pass.
        if (control.checkProof(m))
            std::abort();
        return true;
    });
}

proto::SessionKey key(std::uint8_t fill)
{
    proto::SessionKey k {};
    k.fill(fill);
    return k;
}

void openArbitrary(proto::Aead aead, std::span<const std::uint8_t> input)
{
    proto::SessionCipher receiver(aead, key(1), key(2));
    const proto::DecodeResult r = receiver.open(input);
    if (r.consumed > input.size() || r.status == proto::DecodeStatus::Ok)
        std::abort();
}

void sealThenOpen(proto::Aead aead, std::span<const std::uint8_t> input)
{
    if (input.size() < 2)
        return;
    const std::size_t flip = static_cast<std::size_t>(input[0]) << 8 | input[1];
    const proto::DecodeResult plain = proto::decode(input.subspan(2));
    if (plain.status != proto::DecodeStatus::Ok)
        return;
    proto::SessionCipher sender(aead, key(7), key(8));
    proto::SessionCipher receiver(aead, key(8), key(7));
    std::vector<std::uint8_t> sealed;
    try {
        sealed = sender.seal(plain.message);
    } catch (const std::length_error&) {
        return; // too long to seal: refused, as documented
    }
    const bool changed = flip < sealed.size() * 8;
    if (changed)
        sealed[flip / 8] ^= static_cast<std::uint8_t>(1u << (flip % 8));
    const proto::DecodeResult opened = receiver.open(sealed);
    if (opened.consumed > sealed.size())
        std::abort();
    // A changed length may only make the frame look unfinished.
    if (changed && opened.status == proto::DecodeStatus::Ok)
        std::abort();
    if (!changed && (opened.status != proto::DecodeStatus::Ok || !(opened.message == plain.message)))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    static const bool aes = proto::supportedAeads().front() == proto::Aead::Aes256Gcm;
    const auto aead = (data[0] & 4) && aes ? proto::Aead::Aes256Gcm : proto::Aead::ChaCha20Poly1305;
    switch (data[0] % 4) {
    case 0:
        terminalSide(rest);
        break;
    case 1:
        controlSide(rest);
        break;
    case 2:
        openArbitrary(aead, rest);
        break;
    default:
        sealThenOpen(aead, rest);
        break;
    }
    return 0;
}
