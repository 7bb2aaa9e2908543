#include "Protocol.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <stdexcept>

using namespace proto;

namespace {

using Bytes8 = std::vector<std::uint8_t>;

Message request(Op op, std::vector<Field> fields, std::uint32_t id = 7)
{
    return { Kind::Request, op, id, std::move(fields) };
}

// A frame built by hand, so the tests do not trust the encoder to make bad ones.
struct Raw {
    // From an array, not an initialiser list: GCC 12 at -O2 warns that the
    // list's backing store "may be used uninitialized" (-Wmaybe-uninitialized).
    static constexpr std::array<std::uint8_t, 9> kHeader { kVersion, static_cast<std::uint8_t>(Kind::Request), 15, 0, 1,
        0, 0, 0, 0 };
    Bytes8 body = Bytes8(kHeader.begin(), kHeader.end());

    Raw& version(std::uint8_t v)
    {
        body[0] = v;
        return *this;
    }
    Raw& kind(std::uint8_t k)
    {
        body[1] = k;
        return *this;
    }
    Raw& op(std::uint16_t o)
    {
        body[2] = o & 0xFF;
        body[3] = static_cast<std::uint8_t>(o >> 8);
        return *this;
    }
    Raw& count(std::uint8_t n)
    {
        body[8] = n;
        return *this;
    }
    Raw& add(std::initializer_list<std::uint8_t> bytes)
    {
        body.insert(body.end(), bytes);
        return *this;
    }
    Raw& text(const Bytes8& utf8)
    {
        add({ 2, static_cast<std::uint8_t>(utf8.size() & 0xFF), static_cast<std::uint8_t>(utf8.size() >> 8) });
        body.insert(body.end(), utf8.begin(), utf8.end());
        return *this;
    }
    Bytes8 frame(std::uint32_t length) const
    {
        // Reserved and pushed: GCC 12 at -O3 takes a four-byte initialiser followed
        // by an insert for a write past its end (-Warray-bounds).
        Bytes8 out;
        out.reserve(4 + body.size());
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<std::uint8_t>(length >> shift));
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
    Bytes8 frame() const { return frame(static_cast<std::uint32_t>(body.size())); }
};

} // namespace

TEST(Protocol, EncodesTheDocumentedLayout)
{
    const Message m
        = request(Op::WriteOption, { std::int32_t { 1 }, std::string("ab"), Bytes { { 0xFF } } }, 0x01020304);
    // clang-format off
    const Bytes8 expected{
        23,   0,    0, 0,          // length of what follows
        3,    4,    15, 0,         // version, Request, WriteOption
        4,    3,    2, 1,          // request id, little-endian
        3,                         // field count
        1,    1,    0, 0, 0,       // int32 1
        2,    2,    0, 'a', 'b',   // text "ab"
        3,    1,    0, 0xFF,       // bytes {FF}
    };
    // clang-format on
    EXPECT_EQ(encode(m), expected);
}

TEST(Protocol, EveryKindAndOpRoundTrips)
{
    std::vector<Message> messages {
        { Kind::Hello, Op::None, 0, { Bytes { Bytes8(kNonceSize, 0xA5) } } },
        { Kind::Auth, Op::None, 0, { Bytes { Bytes8(kNonceSize, 0x5A) }, Bytes { Bytes8(kElementSize, 0x33) } } },
        { Kind::Proof, Op::None, 0, { Bytes { Bytes8(kElementSize, 0x44) }, Bytes { Bytes8(kTagSize, 0x55) } } },
        { Kind::Confirm, Op::None, 0, { Bytes {} } },
        { Kind::AuthResult, Op::None, 0, { std::int32_t { 1 }, std::string("Wrong communication key") } },
    };
    for (std::uint16_t op = 1; op <= kLastOp; ++op) {
        messages.push_back(request(static_cast<Op>(op),
            { std::int32_t { 1 }, std::int32_t { -2147483647 - 1 }, std::string("Grüße ✓ 𝄞"), std::string(), Bytes {} },
            0xFFFFFFF0u + op));
        messages.push_back(makeResponse(messages.back(), -2147467259, -1, "out", "description"));
    }
    messages.push_back(request(Op::ReadVendorName, {})); // no fields at all
    for (const auto& m : messages) {
        SCOPED_TRACE(std::string(opName(m.op)) + " kind " + std::to_string(static_cast<int>(m.kind)));
        const Bytes8 bytes = encode(m);
        const DecodeResult r = decode(bytes);
        ASSERT_EQ(r.status, DecodeStatus::Ok) << r.error;
        EXPECT_EQ(r.consumed, bytes.size());
        EXPECT_EQ(r.message, m);
    }
}

TEST(Protocol, EncoderRefusesToBreakABound)
{
    EXPECT_NO_THROW(encode(request(Op::WriteOption, { std::string(kMaxText, 'x') })));
    EXPECT_THROW(encode(request(Op::WriteOption, { std::string(kMaxText + 1, 'x') })), std::length_error);
    EXPECT_THROW(encode(request(Op::WriteOption, { Bytes { Bytes8(kMaxText + 1) } })), std::length_error);
    EXPECT_THROW(
        encode(request(Op::WriteOption, std::vector<Field>(kMaxFields + 1, std::int32_t { 0 }))), std::length_error);
    // Sixteen full texts pass each field's bound but not the frame's.
    EXPECT_THROW(encode(request(Op::WriteOption, std::vector<Field>(kMaxFields, std::string(kMaxText, 'x')))),
        std::length_error);
    const auto largest = encode(request(Op::WriteOption, std::vector<Field>(15, std::string(kMaxText, 'x'))));
    EXPECT_EQ(decode(largest).status, DecodeStatus::Ok);
}

TEST(Protocol, MalformedFramesAreInvalid)
{
    struct Row {
        const char* name;
        Bytes8 input;
    };
    const Raw valid = Raw().count(1).add({ 1, 1, 0, 0, 0 });
    Bytes8 lyingShort = valid.frame();
    lyingShort[0] = static_cast<std::uint8_t>(valid.body.size() - 1); // cuts the int field
    const std::vector<Row> rows {
        { "length below the header size", Raw().frame(8) },
        { "length above 64 KiB", Raw().frame(kMaxFrame - kLengthPrefix + 1) },
        { "length 0xFFFFFFFF", Raw().frame(0xFFFFFFFFu) },
        { "version 0", Raw().version(0).frame() },
        { "version 1", Raw().version(1).frame() },
        { "version 2", Raw().version(2).frame() },
        { "version 4", Raw().version(4).frame() },
        { "kind 0", Raw().kind(0).frame() },
        { "kind 8", Raw().kind(8).frame() },
        { "op past the last", Raw().op(kLastOp + 1).frame() },
        { "op 0xFFFF", Raw().op(0xFFFF).frame() },
        { "request without op", Raw().op(0).frame() },
        { "hello with an op", Raw().kind(1).op(3).frame() },
        { "17 fields", Raw().count(17).frame() },
        { "fewer fields than counted", Raw().count(2).add({ 1, 1, 0, 0, 0 }).frame() },
        { "trailing bytes", Raw().count(1).add({ 1, 1, 0, 0, 0, 9 }).frame() },
        { "frame cuts an int field", lyingShort },
        { "unknown field type", Raw().count(1).add({ 4, 0, 0 }).frame() },
        { "field type 0", Raw().count(1).add({ 0 }).frame() },
        { "text length past the frame", Raw().count(1).add({ 2, 5, 0, 'a', 'b' }).frame() },
        { "text length cut in half", Raw().count(1).add({ 2, 5 }).frame() },
        { "bytes length past the frame", Raw().count(1).add({ 3, 0xFF, 0xFF, 1 }).frame() },
        { "text over 4 KiB", Raw().count(1).text(Bytes8(kMaxText + 1, 'a')).frame() },
        { "bytes over 4 KiB",
            [] {
                Raw r = Raw().count(1).add({ 3, 0x01, 0x10 });
                r.body.resize(r.body.size() + kMaxText + 1);
                return r.frame();
            }() },
        { "UTF-8 lone continuation", Raw().count(1).text({ 'a', 0x80 }).frame() },
        { "UTF-8 overlong slash", Raw().count(1).text({ 0xC0, 0xAF }).frame() },
        { "UTF-8 overlong three bytes", Raw().count(1).text({ 0xE0, 0x80, 0xAF }).frame() },
        { "UTF-8 surrogate", Raw().count(1).text({ 0xED, 0xA0, 0x80 }).frame() },
        { "UTF-8 above U+10FFFF", Raw().count(1).text({ 0xF4, 0x90, 0x80, 0x80 }).frame() },
        { "UTF-8 sequence cut by the field end", Raw().count(1).text({ 'a', 0xE2, 0x82 }).frame() },
        { "UTF-8 byte 0xFF", Raw().count(1).text({ 0xFF }).frame() },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const DecodeResult r = decode(row.input);
        EXPECT_EQ(r.status, DecodeStatus::Invalid);
        EXPECT_FALSE(r.error.empty());
    }
    ASSERT_EQ(decode(valid.frame()).status, DecodeStatus::Ok); // the base the rows break
    // A peer of another version is told apart from garbage.
    EXPECT_EQ(decode(Raw().version(1).frame()).version, std::optional<std::uint8_t>(1));
    EXPECT_EQ(decode(Raw().kind(0).frame()).version, std::nullopt);
}

TEST(Protocol, HeaderFaultsAreCaughtBeforeTheFrameIsComplete)
{
    // A peer announcing a large frame and then sending garbage is refused at
    // once, not after waiting for the rest.
    const Bytes8 big = Raw().version(9).frame(60000);
    EXPECT_EQ(decode(std::span(big).first(5)).status, DecodeStatus::Invalid);
    const Bytes8 badKind = Raw().kind(77).frame(60000);
    EXPECT_EQ(decode(std::span(badKind).first(6)).status, DecodeStatus::Invalid);
    EXPECT_EQ(decode(std::span(badKind).first(5)).status, DecodeStatus::NeedMore);
}

TEST(Protocol, AFrameFedOneByteAtATimeNeedsMoreUntilItsLastByte)
{
    const Bytes8 frame
        = encode(request(Op::WriteTimeZone, { std::int32_t { 1 }, std::int32_t { 50 }, std::string(56, '0') }, 99));
    for (std::size_t n = 0; n < frame.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(decode(std::span(frame).first(n)).status, DecodeStatus::NeedMore);
    }
    EXPECT_EQ(decode(frame).status, DecodeStatus::Ok);
}

TEST(Protocol, BackToBackFramesDecodeOneAtATime)
{
    const Bytes8 first = encode(request(Op::ReadOption, { std::int32_t { 1 }, std::string("~DCTZ") }, 1));
    const Bytes8 second = encode(request(Op::IsColorTerminal, { std::int32_t { 1 } }, 2));
    Bytes8 both = first;
    both.insert(both.end(), second.begin(), second.end());
    both.push_back(0); // the start of a third

    const DecodeResult a = decode(both);
    ASSERT_EQ(a.status, DecodeStatus::Ok);
    EXPECT_EQ(a.consumed, first.size());
    EXPECT_EQ(a.message.requestId, 1u);
    const DecodeResult b = decode(std::span(both).subspan(a.consumed));
    ASSERT_EQ(b.status, DecodeStatus::Ok);
    EXPECT_EQ(b.message.op, Op::IsColorTerminal);
    EXPECT_EQ(decode(std::span(both).subspan(a.consumed + b.consumed)).status, DecodeStatus::NeedMore);
}

TEST(Protocol, CorruptedFramesNeverDecodeOutsideTheirBytes)
{
    // Under the sanitizers this catches reads past the input; the decoder must
    // also never claim more bytes than it was given.
    const Bytes8 base = encode(request(
        Op::WriteUnlockCombination, { std::int32_t { 1 }, std::string("é"), Bytes { { 1, 2 } }, std::int32_t { -1 } }));
    std::mt19937 random(12345);
    for (int round = 0; round < 20000; ++round) {
        Bytes8 input = base;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            input[random() % input.size()] = static_cast<std::uint8_t>(random());
        }
        input.resize(random() % (input.size() + 1));
        const DecodeResult r = decode(input);
        ASSERT_LE(r.consumed, input.size());
        if (r.status == DecodeStatus::Ok) {
            ASSERT_EQ(decode(encode(r.message)).message, r.message);
        }
    }
}

TEST(Protocol, OpNamesMatchTheInterface)
{
    for (std::uint16_t i = 1; i <= kLastOp; ++i) {
        const auto op = static_cast<Op>(i);
        SCOPED_TRACE(i);
        ASSERT_FALSE(opName(op).empty());
        EXPECT_EQ(opFromName(opName(op)), op);
    }
    EXPECT_EQ(opName(Op::ReadSerialNumber), "ReadSerialNumber");
    EXPECT_EQ(opName(Op::WriteOption), "WriteOption");
    EXPECT_EQ(opName(Op::IsColorTerminal), "IsColorTerminal");
    EXPECT_EQ(opName(static_cast<Op>(kLastOp + 1)), "");
    EXPECT_EQ(opFromName("writeoption"), Op::None);
    EXPECT_EQ(opFromName(""), Op::None);
}

TEST(Protocol, ReadResponseAcceptsOnlyTheUniformShape)
{
    const Message req = request(Op::ReadOption, { std::int32_t { 1 }, std::string("~DeviceName") }, 41);
    const Message resp = makeResponse(req, 0, -1, "K3X", "");
    EXPECT_EQ(resp.kind, Kind::Response);
    EXPECT_EQ(resp.op, Op::ReadOption);
    EXPECT_EQ(resp.requestId, 41u);
    ResponseFields f;
    ASSERT_TRUE(readResponse(resp, f));
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.out, "K3X");

    struct Row {
        const char* name;
        Message message;
    };
    Message asRequest = resp;
    asRequest.kind = Kind::Request;
    Message shortOne = resp;
    shortOne.fields.pop_back();
    Message swapped = resp;
    std::swap(swapped.fields[0], swapped.fields[2]);
    Message bytesOut = resp;
    bytesOut.fields[2] = Bytes {};
    for (const auto& row : { Row { "request kind", asRequest }, Row { "three fields", shortOne },
             Row { "text where int", swapped }, Row { "bytes where text", bytesOut } }) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(readResponse(row.message, f));
    }
}
