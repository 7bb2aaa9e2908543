#include "KeyExchange.h"

#include <gtest/gtest.h>

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

struct Pair {
    ControlHandshake control;
    TerminalHandshake terminal;
    Pair(std::int32_t controlKey, std::int32_t terminalKey, const Fixed& f = {})
        : control(controlKey, f.nonceC, f.ya)
        , terminal(terminalKey, f.nonceT, f.yb)
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
    Pair p(12345, 12345);
    const Message hello = p.terminal.hello();
    EXPECT_EQ(hex(encode(hello)), "1c000000020100000000000001031000000102030405060708090a0b0c0d0e0f");
    const auto auth = p.control.answerHello(hello);
    ASSERT_TRUE(auth);
    const auto proof = p.terminal.answerAuth(*auth);
    ASSERT_TRUE(proof);
    ASSERT_TRUE(p.control.checkProof(*proof));
    const Message confirm = p.control.confirmation();
    EXPECT_EQ(p.terminal.checkConfirm(confirm), TerminalHandshake::Verdict::Proved);

    const KeySchedule& s = p.control.schedule();
    const auto gen = cpace::generatorString(keyBytes(12345), ascii(kChannelId), s.sid);
    EXPECT_EQ(hex(gen).substr(0, 40), "11435061636552697374726574746f3235350439"); // DSI, then the key's bytes
    EXPECT_EQ(gen.size(), 128u + 22 + 33);
    const std::vector<std::pair<std::string, std::string>> rows {
        { "sid", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f" },
        { "g", "94bcb748c6d84d0f57d7c536cd573b869ec11226b1349c75227304ca5274766a" },
        { "Ya", "da2db59c482d2a123bea4c7a1c10fc28400dc23f947faf7783239362c4e30c0f" },
        { "Yb", "4421cca5f7444c1e3d7d2506cc3fdc1821f90c8df2aacda3ea5d7fb279b01a76" },
        { "ISK",
            "33602178bb4681dbd5e227bf1a8b310db1d46970e3121a8c228a715030f864eb"
            "6c054843c88a77933191b0149efd120e5f0f9a5c25049d0d8f39133673e72374" },
        { "mac_key",
            "ea24c20a9361b751800c467393836046d2bf1e2dee28adaebc4ee8aa3b313849"
            "042960de5af1b414fe97044320f511dcf2a3d353bfad57712edb43046ecd9c65" },
        { "Ta",
            "a9f1235a2f182ec092fc22ffa8a30dcb3221f783c9acaaf02269a442d29c2104"
            "ddd02b526ab95addf63bc023829af8d56646c643531ae930cdf59004725e3bed" },
        { "Tb",
            "4177d3b5fc3be242f4a28367bb9b458831b0b1b7cdf94c827ce0c4491adcac58"
            "82b5b2fc9e6ce8f1c5d86dcce779b60eb720fdc58850aac613510e6f1866bdc5" },
        { "k_ct", "e04d85b1bb77cddf8e2bbaa8cf8b70671e30b3e72740ecd6efbf7be4b27be0ef" },
        { "k_tc", "66ea7adb4f718181487a3f6f4b9ae0ef29ffd2017fe19bcab4c520d4a36e4094" },
    };
    const std::map<std::string, std::string> actual { { "sid", hex(s.sid) }, { "g", hex(s.generator) },
        { "Ya", hex(s.ya) }, { "Yb", hex(s.yb) }, { "ISK", hex(s.isk) }, { "mac_key", hex(s.macKey) },
        { "Ta", hex(s.ta) }, { "Tb", hex(s.tb) }, { "k_ct", hex(s.controlToTerminal) },
        { "k_tc", hex(s.terminalToControl) } };
    for (const auto& [name, expected] : rows) {
        SCOPED_TRACE(name);
        EXPECT_EQ(actual.at(name), expected);
    }
    EXPECT_EQ(p.terminal.schedule().isk, s.isk);

    SessionCipher terminal = p.terminal.cipher();
    SessionCipher control = p.control.cipher();
    EXPECT_EQ(hex(terminal.seal(authResult(AuthCode::Accepted, {}))),
        "21000000c0f74a7918362c1c462c122b2d39b0d05eaf2f65b8b06f37227cd201f224c7e1d6");
    EXPECT_EQ(hex(control.seal({ Kind::Request, Op::ReadVendorName, 1, {} })),
        "19000000ea53915ecfc35e9bb24e3126255f8bf44440371ad75c5af07e");
    EXPECT_EQ(
        hex(control.seal({ Kind::Request, Op::WriteOption, 2, { 1, std::string("~LockFunOn"), std::string("14") } })),
        "30000000af4fdeddc8e465d626585466d89c4af00b0f733b016aa457b06dd5e74c4a3f35690f53b979203f539350ecd1128cfbe0");
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
        return Message { Kind::Proof, Op::None, 0, { Bytes { std::move(element) }, Bytes { std::move(tag) } } };
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
