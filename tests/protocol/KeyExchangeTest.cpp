#include "KeyExchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>

using namespace proto;

namespace {

using Bytes8 = std::vector<std::uint8_t>;

Bytes8 unhex(std::string_view text)
{
    Bytes8 out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

template <typename Container> std::string hex(const Container& bytes)
{
    std::string s;
    for (const auto b : bytes) {
        s += "0123456789abcdef"[b >> 4];
        s += "0123456789abcdef"[b & 15];
    }
    return s;
}

cpace::Scalar scalar(std::string_view text)
{
    cpace::Scalar s {};
    const Bytes8 bytes = unhex(text);
    std::copy(bytes.begin(), bytes.end(), s.begin());
    return s;
}

std::span<const std::uint8_t> ascii(std::string_view text)
{
    return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
}

// The CFRG CPace draft's vectors for ristretto255 with SHA-512 (Appendix B.3).
constexpr std::string_view kDraftCi = "0b415f696e69746961746f720b425f726573706f6e646572";
constexpr std::string_view kDraftSid = "7e4b4791d6a8ef019b936c79fb7f2c57";
constexpr std::string_view kDraftG = "222b6b195fe84b1652badb6f6a3ae3d24341e7306967f0b8115b40d5698c7e56";
constexpr std::string_view kDraftYa = "da3d23700a9e5699258aef94dc060dfda5ebb61f02a5ea77fad53f4ff0976d08";
constexpr std::string_view kDraftYaOut = "d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b9157";
constexpr std::string_view kDraftYb = "d2316b454718c35362d83d69df6320f38578ed59846514 35e2949762d900b80d";
constexpr std::string_view kDraftYbOut = "3ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f7258";
constexpr std::string_view kDraftK = "80b69a8a76457ab6a4d7f887a4bf6b55a2f80ac19c333f917a05fc9887c8b40f";
constexpr std::string_view kDraftIsk = "b69effbf61b51d56401c0f65601abe428de8206feaaf0e32198896dcae7b35cd"
                                       "2b38950a39dfd5d4a79164614c2984f7daa460b588c1e80c3fa2068af7900447";

std::string squeeze(std::string_view text)
{
    std::string s;
    for (const char c : text)
        if (c != ' ')
            s += c;
    return s;
}

// Our own handshake's fixed inputs (docs/protocol.md, "Test vectors"): the
// draft's two scalars, key 12345, nonces 00..0f and 10..1f.
struct Fixed {
    Bytes8 nonceT = unhex("000102030405060708090a0b0c0d0e0f");
    Bytes8 nonceC = unhex("101112131415161718191a1b1c1d1e1f");
    cpace::Scalar ya = scalar(kDraftYa);
    cpace::Scalar yb = scalar(squeeze(kDraftYb));
};

// The documented offer: AES-256-GCM first, then ChaCha20-Poly1305. The
// terminal takes ChaCha20-Poly1305 unless told it may use AES-256-GCM, so the
// tests run the same on a processor without it.
const std::vector<Aead> kOffer { Aead::Aes256Gcm, Aead::ChaCha20Poly1305 };

struct Pair {
    ControlHandshake control;
    TerminalHandshake terminal;
    Pair(std::int32_t controlKey, std::int32_t terminalKey, const Fixed& f = {},
        std::vector<Aead> usable = { Aead::ChaCha20Poly1305 })
        : control(controlKey, f.nonceC, f.ya, kOffer)
        , terminal(terminalKey, f.nonceT, f.yb, std::move(usable))
    {
    }
};

} // namespace

TEST(Cpace, MatchesTheDraftRistretto255Vectors)
{
    const Bytes8 prs { 'P', 'a', 's', 's', 'w', 'o', 'r', 'd' };
    const Bytes8 sid = unhex(kDraftSid);
    const cpace::Element g = cpace::calculateGenerator(prs, unhex(kDraftCi), sid);
    EXPECT_EQ(hex(g), kDraftG);

    const auto ya = cpace::scalarMultVfy(scalar(kDraftYa), g);
    const auto yb = cpace::scalarMultVfy(scalar(squeeze(kDraftYb)), g);
    ASSERT_TRUE(ya && yb);
    EXPECT_EQ(hex(*ya), kDraftYaOut);
    EXPECT_EQ(hex(*yb), kDraftYbOut);

    const auto kA = cpace::scalarMultVfy(scalar(kDraftYa), *yb);
    const auto kB = cpace::scalarMultVfy(scalar(squeeze(kDraftYb)), *ya);
    ASSERT_TRUE(kA && kB);
    EXPECT_EQ(hex(*kA), kDraftK);
    EXPECT_EQ(*kA, *kB);
    EXPECT_EQ(hex(cpace::intermediateSessionKey(sid, *kA, *ya, ascii("ADa"), *yb, ascii("ADb"))), kDraftIsk);

    // B.3.10 and B.3.11: a valid product, then the invalid encodings that must abort.
    const auto s = scalar("7cd0e075fa7955ba52c02759a6c90dbbfc10e6d40aea8d283e407d88cf538a05");
    const auto valid
        = cpace::scalarMultVfy(s, unhex("2c3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c"));
    ASSERT_TRUE(valid);
    EXPECT_EQ(hex(*valid), "7c13645fe790a468f62c39beb7388e541d8405d1ade69d1778c5fe3e7f6b600e");
    EXPECT_FALSE(cpace::scalarMultVfy(s, unhex("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c")));
    EXPECT_FALSE(cpace::scalarMultVfy(s, Bytes8(32, 0)));
}

TEST(KeyExchange, MatchesTheDocumentedVectors)
{
    // The shares do not depend on the choice; everything after them does.
    const std::map<std::string, std::string> shared {
        { "sid", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f" },
        { "g", "94bcb748c6d84d0f57d7c536cd573b869ec11226b1349c75227304ca5274766a" },
        { "Ya", "da2db59c482d2a123bea4c7a1c10fc28400dc23f947faf7783239362c4e30c0f" },
        { "Yb", "4421cca5f7444c1e3d7d2506cc3fdc1821f90c8df2aacda3ea5d7fb279b01a76" },
    };
    struct Case {
        Aead choice;
        std::map<std::string, std::string> values;
        std::string proofTail; // the Proof frame's end: Tb's last bytes, then the choice
        std::array<std::string, 3> sealed; // AuthResult, ReadVendorName, WriteOption
    };
    const std::vector<Case> cases {
        { Aead::Aes256Gcm,
            { { "ISK",
                  "f5fad6960ff9730b5d03230dbd24584ea49e7baa4ae6fc66dfd41a437c0bc9e8"
                  "f801811aaa5775afe31dfa7070a38c690fb2c28dda7713b24e269d659992814c" },
                { "mac_key",
                    "e1d6c4f375746c1f08e0c61e80a912143d4d86ea540c4703a3a95544e357b60c"
                    "528391c291740ccbf6d4a7b27039b7d17829f66713dbc8adaaea855b243c9666" },
                { "Ta",
                    "80df91efbad9667e082091436679aaba080dee42467e329106a2db5d0368068f"
                    "7d6a57c262953cf76dc47ab5dcc50a38328a1b70689ca392d01a8ee7085727fb" },
                { "Tb",
                    "388475b0e66c2fee06cde4583e8fa018138d54e389098ebe5967cb5f74df0804"
                    "7ab18859868f82e4d2d87a2e90f732bfda575495142c83970303ad9fb6b717b7" },
                { "k_ct", "503a27eb4a1f89cad9d50f4872d859649c40df3920cea3ec43050ced08f149fa" },
                { "k_tc", "f13b4c26f729b2b5fc2cf158b2c79940a966068daacd8d5e8ee29051cf4c126b" } },
            "9fb6b717b703010002",
            { "21000000763c657796a8f5e0cb5b904da41a874aef79f9b6d0b4d66ec9860763c9a5a00039",
                "19000000697d0121cfbf84f34ed4afe732ce990e0fa4d36cc70a57d3e3",
                "300000002e881d2d883dc0a43919503e9e1a9f90277237497706bfacd9d0ed75e967d94f59216cb496b2997f812a51dfa162f3"
                "e7" } },
        { Aead::ChaCha20Poly1305,
            { { "ISK",
                  "0c97b892af13c106bf670c927d8ad6a59ef11cd5196b3b16e86d4e46909c0e5f"
                  "c8bc06d0c7c751a932dd6d0585ee7b12a2f5e8988bb3b5d5de234473cea08e58" },
                { "mac_key",
                    "6907e1494a87459b93fd639f1cc57b1a1e86d3e0859e0264fdfdb0a225eba952"
                    "ad4db986e076845d9076c56e9cc8b44377b444178328aeb23410746b933997c6" },
                { "Ta",
                    "ad0ba81bd34758243f6dd699f00cf9779df238c1200c7a2dd27591d9c62243bd"
                    "9595c1a3fb1f4ddda0393e860a8b58f251335e0287800b84ca2684ecf8bc2163" },
                { "Tb",
                    "928fcd61b4c25775e9db52ea9118feec8152c36435fd62b3ba262e6f4aea4363"
                    "104ab6b2b21624bda5ae35abbb6901eb4d1a40625a029475da9cfdf0f1dbf1bb" },
                { "k_ct", "245899c730828206752c5c8dff7de289a5d32ca4144f535055329703d6aa6f0e" },
                { "k_tc", "903ba0e3a474dfec9706a1d1fa9312c9821cbaa5d8c20b70975cd7292069aa83" } },
            "f0f1dbf1bb03010001",
            { "210000004bb527cf27c56d6379e705f728284be0c0fbbb943e1e7e3664a005cf2b6b6eca68",
                "1900000097cd925fad040a81ddd5ca60800a4cdf744fd07b759ad58eca",
                "300000001d6a847bf5c849950be992a6dbaddb65ad42bf63e1ecf5c1108b5e90a2f296fcca7a7b3a774a80019cfd0a44283bcc"
                "c6" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.choice));
        if (c.choice == Aead::Aes256Gcm && !crypto_aead_aes256gcm_is_available()) {
            std::puts("AES-256-GCM vectors skipped: not available on this processor");
            continue;
        }
        Pair p(12345, 12345, {}, { c.choice });
        const Message hello = p.terminal.hello();
        EXPECT_EQ(hex(encode(hello)), "1c000000030100000000000001031000000102030405060708090a0b0c0d0e0f");
        const auto auth = p.control.answerHello(hello);
        ASSERT_TRUE(auth);
        EXPECT_EQ(hex(encode(*auth)),
            "44000000030200000000000003031000101112131415161718191a1b1c1d1e1f032000da2db59c482d2a123bea4c7a1c10fc28400d"
            "c2"
            "3f947faf7783239362c4e30c0f0302000201");
        const auto proof = p.terminal.answerAuth(*auth);
        ASSERT_TRUE(proof);
        EXPECT_TRUE(hex(encode(*proof)).ends_with(c.proofTail));
        ASSERT_TRUE(p.control.checkProof(*proof));
        const Message confirm = p.control.confirmation();
        EXPECT_EQ(p.terminal.checkConfirm(confirm), TerminalHandshake::Verdict::Proved);

        const KeySchedule& s = p.control.schedule();
        EXPECT_EQ(hex(s.offer), "0201");
        EXPECT_EQ(s.aead, c.choice);
        const auto gen = cpace::generatorString(keyBytes(12345), ascii(kChannelId), s.sid);
        EXPECT_EQ(hex(gen).substr(0, 40), "11435061636552697374726574746f3235350439"); // DSI, then the key's bytes
        EXPECT_EQ(gen.size(), 128u + 22 + 33);
        const std::map<std::string, std::string> actual { { "sid", hex(s.sid) }, { "g", hex(s.generator) },
            { "Ya", hex(s.ya) }, { "Yb", hex(s.yb) }, { "ISK", hex(s.isk) }, { "mac_key", hex(s.macKey) },
            { "Ta", hex(s.ta) }, { "Tb", hex(s.tb) }, { "k_ct", hex(s.controlToTerminal) },
            { "k_tc", hex(s.terminalToControl) } };
        auto expected = shared;
        expected.insert(c.values.begin(), c.values.end());
        for (const auto& [name, value] : expected) {
            SCOPED_TRACE(name);
            EXPECT_EQ(actual.at(name), value);
        }
        EXPECT_EQ(p.terminal.schedule().isk, s.isk);

        SessionCipher terminal = p.terminal.cipher();
        SessionCipher control = p.control.cipher();
        EXPECT_EQ(hex(terminal.seal(authResult(AuthCode::Accepted, {}))), c.sealed[0]);
        EXPECT_EQ(hex(control.seal({ Kind::Request, Op::ReadVendorName, 1, {} })), c.sealed[1]);
        EXPECT_EQ(hex(control.seal(
                      { Kind::Request, Op::WriteOption, 2, { 1, std::string("~LockFunOn"), std::string("14") } })),
            c.sealed[2]);
    }
}

TEST(KeyExchange, OnlyTheSameKeyOnBothSidesPasses)
{
    struct Row {
        const char* name;
        std::int32_t controlKey;
        std::int32_t terminalKey;
        bool proved;
    };
    for (const Row& row : { Row { "same key", 777777, 777777, true }, Row { "zero", 0, 0, true },
             Row { "one bit off", 777777, 777776, false }, Row { "sign", -1, 1, false },
             Row { "zero against one", 0, 1, false } }) {
        SCOPED_TRACE(row.name);
        ControlHandshake control(row.controlKey);
        TerminalHandshake terminal(row.terminalKey);
        const auto auth = control.answerHello(terminal.hello());
        ASSERT_TRUE(auth);
        const auto proof = terminal.answerAuth(*auth);
        ASSERT_TRUE(proof);
        EXPECT_EQ(control.checkProof(*proof), row.proved);
        if (row.proved) {
            EXPECT_EQ(terminal.checkConfirm(control.confirmation()), TerminalHandshake::Verdict::Proved);
            SessionCipher c = control.cipher();
            SessionCipher t = terminal.cipher();
            const Message m { Kind::Request, Op::ReadOption, 9, { 1, std::string("~ZKFPVersion") } };
            const auto opened = t.open(c.seal(m));
            ASSERT_EQ(opened.status, DecodeStatus::Ok);
            EXPECT_EQ(opened.message, m);
        } else {
            EXPECT_THROW(control.confirmation(), std::logic_error);
            EXPECT_EQ(terminal.checkConfirm(ControlHandshake::mismatch()), TerminalHandshake::Verdict::WrongKey);
        }
    }
}

// A fake terminal that does not know the key, whatever it sends as its share
// and proof, is refused; so is a replayed proof from another session.
TEST(KeyExchange, TheControlRefusesAProofItCannotVerify)
{
    ControlHandshake recorded(4321);
    TerminalHandshake genuine(4321);
    const auto oldProof = genuine.answerAuth(*recorded.answerHello(genuine.hello()));
    ASSERT_TRUE(oldProof);

    const auto proofWith = [](Bytes8 element, Bytes8 tag) {
        return Message { Kind::Proof, Op::None, 0,
            { Bytes { std::move(element) }, Bytes { std::move(tag) }, Bytes { { 1 } } } };
    };
    const cpace::Element base = cpace::calculateGenerator(keyBytes(1), ascii(kChannelId), Bytes8(32, 7));
    struct Row {
        const char* name;
        Message proof;
    };
    const std::vector<Row> rows {
        { "identity element", proofWith(Bytes8(32, 0), Bytes8(kTagSize, 0)) },
        { "invalid encoding",
            proofWith(unhex("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c"), Bytes8(kTagSize, 1)) },
        { "fixed element, made-up tag", proofWith(Bytes8(base.begin(), base.end()), Bytes8(kTagSize, 2)) },
        { "proof from an earlier session", *oldProof },
        { "short tag", proofWith(Bytes8(base.begin(), base.end()), Bytes8(32, 2)) },
        { "not a proof", authResult(AuthCode::Accepted, {}) },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ControlHandshake control(4321);
        TerminalHandshake fresh(4321);
        ASSERT_TRUE(control.answerHello(fresh.hello()));
        EXPECT_FALSE(control.checkProof(row.proof));
        EXPECT_THROW(control.cipher(), std::logic_error);
    }
    // A Confirm recorded from another session does not pass either.
    TerminalHandshake terminal(4321);
    ControlHandshake control(4321);
    ASSERT_TRUE(terminal.answerAuth(*control.answerHello(terminal.hello())));
    Message stale = ControlHandshake::mismatch();
    stale.fields[0] = Bytes { Bytes8(recorded.schedule().ta.begin(), recorded.schedule().ta.end()) };
    EXPECT_EQ(terminal.checkConfirm(stale), TerminalHandshake::Verdict::WrongKey);
}

// The offer and the choice are what each side proves along with the key: a
// peer in the middle that strips AES-256-GCM from the offer, or changes the
// choice, breaks the key check instead of steering the session.
TEST(KeyExchange, TheOfferAndTheChoiceCannotBeChangedOnTheWay)
{
    const auto offerOf
        = [](std::vector<std::uint8_t> ids) { return [ids](Message& auth) { auth.fields[2] = Bytes { ids }; }; };
    const auto choiceOf = [](std::uint8_t id) { return [id](Message& proof) { proof.fields[2] = Bytes { { id } }; }; };
    struct Row {
        const char* name;
        std::vector<Aead> usable; // the terminal's
        std::function<void(Message&)> onAuth;
        std::function<void(Message&)> onProof;
        bool answered; // the terminal answers the Auth
        bool proved; // the control accepts the Proof
        Aead aead; // when proved
    };
    const auto none = [](Message&) {};
    const std::vector<Row> rows {
        { "untouched: the control's order decides", { Aead::ChaCha20Poly1305, Aead::Aes256Gcm }, none, none, true, true,
            Aead::Aes256Gcm },
        { "a terminal without AES-256-GCM passes over it and the unknown 9", { Aead::ChaCha20Poly1305 }, none, none,
            true, true, Aead::ChaCha20Poly1305 },
        { "offer stripped on the way", { Aead::ChaCha20Poly1305, Aead::Aes256Gcm }, offerOf({ 1 }), none, true, false,
            {} },
        { "choice changed on the way", { Aead::ChaCha20Poly1305, Aead::Aes256Gcm }, none, choiceOf(1), true, false,
            {} },
        { "a choice that was not offered", { Aead::ChaCha20Poly1305 }, none, choiceOf(7), true, false, {} },
        { "nothing offered that the terminal has", { Aead::ChaCha20Poly1305 }, offerOf({ 2, 9 }), none, false, false,
            {} },
        { "an empty offer", { Aead::ChaCha20Poly1305 }, offerOf({}), none, false, false, {} },
        { "an offer of nine", { Aead::ChaCha20Poly1305 }, offerOf(std::vector<std::uint8_t>(9, 1)), none, false, false,
            {} },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool aes = std::ranges::find(row.usable, Aead::Aes256Gcm) != row.usable.end();
        if (aes && row.proved && !crypto_aead_aes256gcm_is_available())
            continue;
        ControlHandshake control(31, { Aead::Aes256Gcm, static_cast<Aead>(9), Aead::ChaCha20Poly1305 });
        TerminalHandshake terminal(31, row.usable);
        auto auth = control.answerHello(terminal.hello());
        ASSERT_TRUE(auth);
        row.onAuth(*auth);
        auto proof = terminal.answerAuth(*auth);
        ASSERT_EQ(proof.has_value(), row.answered);
        if (!proof)
            continue;
        row.onProof(*proof);
        ASSERT_EQ(control.checkProof(*proof), row.proved);
        if (row.proved) {
            EXPECT_EQ(terminal.checkConfirm(control.confirmation()), TerminalHandshake::Verdict::Proved);
            SessionCipher c = control.cipher();
            SessionCipher t = terminal.cipher();
            EXPECT_EQ(c.aead(), row.aead);
            const Message m { Kind::Request, Op::ReadVendorName, 4, {} };
            EXPECT_EQ(t.open(c.seal(m)).message, m);
        }
    }
}

TEST(KeyExchange, SealedFramesCatchTamperingReplayAndReordering)
{
    Pair p(99, 99);
    ASSERT_TRUE(p.control.checkProof(*p.terminal.answerAuth(*p.control.answerHello(p.terminal.hello()))));
    SessionCipher sender = p.control.cipher();
    const Message first { Kind::Request, Op::ReadVendorName, 1, {} };
    const Message second { Kind::Request, Op::ReadSerialNumber, 2, { 1 } };
    const Bytes8 a = sender.seal(first);
    const Bytes8 b = sender.seal(second);
    Bytes8 flipped = a;
    flipped[10] ^= 0x01;
    Bytes8 badTag = a;
    badTag.back() ^= 0x80;
    Bytes8 longer = a;
    longer[0] += 1;
    longer.push_back(0);
    struct Row {
        const char* name;
        std::vector<Bytes8> frames; // the last one must fail
    };
    const std::vector<Row> rows {
        { "flipped ciphertext bit", { flipped } },
        { "flipped tag bit", { badTag } },
        { "length changed", { longer } },
        { "replayed", { a, a } },
        { "reordered (the second first)", { b } },
        { "reflected back to its sender", { p.terminal.cipher().seal(first) } },
        { "plain frame", { encode(first) } },
        { "shorter than a tag", { Bytes8 { 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8 } } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SessionCipher receiver = p.terminal.cipher();
        for (std::size_t i = 0; i + 1 < row.frames.size(); ++i)
            ASSERT_EQ(receiver.open(row.frames[i]).status, DecodeStatus::Ok);
        const DecodeResult r = receiver.open(row.frames.back());
        EXPECT_EQ(r.status, DecodeStatus::Invalid);
        EXPECT_FALSE(r.error.empty());
    }
    SessionCipher receiver = p.terminal.cipher();
    EXPECT_EQ(receiver.open(std::span(a).first(a.size() - 1)).status, DecodeStatus::NeedMore);
    EXPECT_EQ(receiver.open(a).message, first);
    EXPECT_EQ(receiver.open(b).message, second);
}

TEST(KeyExchange, SealingKeepsTheBoundsAndTheCounterOnRefusal)
{
    Pair p(5, 5);
    ASSERT_TRUE(p.control.checkProof(*p.terminal.answerAuth(*p.control.answerHello(p.terminal.hello()))));
    SessionCipher sender = p.control.cipher();
    SessionCipher receiver = p.terminal.cipher();
    // Fifteen full texts still fit with the seal; sixteen never did.
    const Message largest { Kind::Request, Op::WriteOption, 1, std::vector<Field>(15, std::string(kMaxText, 'x')) };
    const Bytes8 sealed = sender.seal(largest);
    EXPECT_LE(sealed.size(), kMaxFrame);
    EXPECT_EQ(receiver.open(sealed).message, largest);
    // A plain frame that fits only without the seal's 16 bytes is refused, and
    // the refusal does not use up a counter value.
    std::vector<Field> nearly(15, std::string(kMaxText, 'x'));
    nearly.push_back(std::string(kMaxFrame - encode(largest).size() - 3 - 8, 'y'));
    EXPECT_NO_THROW(encode({ Kind::Request, Op::WriteOption, 2, nearly }));
    EXPECT_THROW(sender.seal({ Kind::Request, Op::WriteOption, 2, nearly }), std::length_error);
    const Message next { Kind::Request, Op::ReadVendorName, 3, {} };
    EXPECT_EQ(receiver.open(sender.seal(next)).message, next);
}
