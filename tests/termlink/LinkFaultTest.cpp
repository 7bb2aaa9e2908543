// The control against a scripted terminal: key check encoding, garbled or
// mismatched answers, silence, and the operations without a link.
#include "FakeTerminal.h"
#include "NetworkTermLink.h"
#include "TerminalConstants.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <functional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using termlink::LinkTimeouts;
using termlink::NetworkTermLink;

namespace {

const LinkTimeouts kQuick { 1000ms, 500ms };

std::string utf8(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

} // namespace

TEST(LinkKeyCheck, PassesForEveryKeyShape)
{
    for (const std::int32_t key : { 0, 1, 12345, -1, INT_MIN, INT_MAX }) {
        SCOPED_TRACE("key " + std::to_string(key));
        bool matched = false;
        FakeTerminal fake("127.0.2.20", [&](FakeTerminal::Peer& peer) { matched = peer.handshake(key); });
        ASSERT_TRUE(fake.listening());
        NetworkTermLink link(kQuick);
        link.SetCommKey(key);
        EXPECT_NE(link.ConnectNetwork(u"127.0.2.20", kTerminalPort).value, 0);
        EXPECT_TRUE(link.isConnected());
        EXPECT_EQ(link.lastConnectFailure().cause, ConnectFailure::None);
        fake.finish();
        EXPECT_TRUE(matched);
    }
}

TEST(LinkKeyCheck, BrokenHandshakesFailTheConnectWithinTheBoundAndSayWhy)
{
    struct Row {
        const char* name;
        std::function<void(FakeTerminal::Peer&)> script;
        ConnectFailure cause;
        std::string text; // a part of the cause's text
    };
    const proto::Message hello { proto::Kind::Hello, proto::Op::None, 0,
        { proto::Bytes { std::vector<std::uint8_t>(proto::kNonceSize, 1) } } };
    const std::vector<Row> rows {
        { "wrong key", [](FakeTerminal::Peer& peer) { peer.handshake(999); }, ConnectFailure::WrongKey, "wrong key" },
        { "locked out instead of a hello",
            [](FakeTerminal::Peer& peer) {
                peer.send(
                    proto::authResult(proto::AuthCode::LockedOut, "Too many wrong keys; try again in 30 seconds"));
            },
            ConnectFailure::LockedOut, "try again in 30 seconds" },
        { "silent", [](FakeTerminal::Peer& peer) { peer.waitClosed(3s); }, ConnectFailure::TimedOut,
            "did not answer within 0.5 seconds during the key check" },
        { "closes at once", [](FakeTerminal::Peer&) {}, ConnectFailure::BrokenHandshake, "was lost" },
        { "short nonce",
            [](FakeTerminal::Peer& peer) {
                peer.send(
                    { proto::Kind::Hello, proto::Op::None, 0, { proto::Bytes { std::vector<std::uint8_t>(8, 7) } } });
                peer.waitClosed(3s);
            },
            ConnectFailure::BrokenHandshake, "did not start the key check" },
        { "garbage instead of hello",
            [](FakeTerminal::Peer& peer) {
                const std::vector<std::uint8_t> junk { 0, 0, 0, 9, 42, 42, 42, 42, 42, 42, 42, 42, 42 };
                peer.sendRaw(junk);
                peer.waitClosed(3s);
            },
            ConnectFailure::BrokenHandshake, "could not be read" },
        { "a hello of the old version",
            [&](FakeTerminal::Peer& peer) {
                peer.sendRaw(proto::encode(hello, proto::kMaxFrame, 1));
                peer.waitClosed(3s);
            },
            ConnectFailure::ProtocolVersion, "protocol version 1" },
        { "no proof after the share",
            [&](FakeTerminal::Peer& peer) {
                peer.send(hello);
                peer.receive();
                peer.waitClosed(3s);
            },
            ConnectFailure::TimedOut, "during the key check" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeTerminal fake("127.0.2.21", row.script);
        ASSERT_TRUE(fake.listening());
        NetworkTermLink link(kQuick);
        link.SetCommKey(5);
        const auto start = std::chrono::steady_clock::now();
        const CallResult result = link.ConnectNetwork(u"127.0.2.21", kTerminalPort);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kQuick.answer + 1s);
        // A success-class status that names the cause: the window still sees false.
        EXPECT_FALSE(failed(result.status));
        EXPECT_EQ(connectFailureFromStatus(result.status), row.cause);
        EXPECT_EQ(result.value, 0);
        EXPECT_FALSE(link.isConnected());
        EXPECT_EQ(link.lastConnectFailure().cause, row.cause);
        EXPECT_NE(link.lastConnectFailure().text.find(row.text), std::string::npos) << link.lastConnectFailure().text;
        EXPECT_EQ(utf8(result.description), link.lastConnectFailure().text);
    }
}

// A terminal that cannot prove the key learns at most that one guess failed:
// after the share the control sends only the empty Confirm, and no request
// ever reaches it, even when it then claims to accept.
TEST(LinkKeyCheck, AFakeTerminalIsRefusedAndSentNothingAfterTheKeyCheck)
{
    struct Row {
        const char* name;
        std::int32_t fakeKey; // the key the fake guesses
        bool claimsAccepted; // after the empty Confirm
    };
    for (const Row& row : { Row { "fixed element, guessed key, then silent", 1, false },
             Row { "fixed element, guessed key, then claims accepted", 1, true }, Row { "key 0 guessed", 0, true } }) {
        SCOPED_TRACE(row.name);
        std::vector<proto::Message> received;
        bool closedQuietly = false;
        FakeTerminal fake("127.0.2.26", [&](FakeTerminal::Peer& peer) {
            // A fixed nonce and scalar: the same share in every connection.
            const std::vector<std::uint8_t> nonce(proto::kNonceSize, 0x42);
            proto::cpace::Scalar scalar {};
            scalar[0] = 7;
            proto::TerminalHandshake guess(row.fakeKey, nonce, scalar, proto::supportedAeads());
            peer.send(guess.hello());
            const auto auth = peer.receive();
            if (!auth)
                return;
            received.push_back(*auth);
            peer.send(*guess.answerAuth(*auth));
            while (auto next = peer.receive(1s)) {
                received.push_back(*next);
                if (row.claimsAccepted)
                    peer.send(proto::authResult(proto::AuthCode::Accepted, {}));
            }
            closedQuietly = peer.waitClosed(1s);
        });
        ASSERT_TRUE(fake.listening());
        NetworkTermLink link(kQuick);
        link.SetCommKey(777777);
        EXPECT_EQ(link.ConnectNetwork(u"127.0.2.26", 4370).value, 0);
        EXPECT_EQ(link.lastConnectFailure().cause, ConnectFailure::TerminalUnproven);
        EXPECT_EQ(link.WriteOption(1, u"~LockFunOn", u"14").value, 0);
        fake.finish();
        EXPECT_TRUE(closedQuietly);
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received[0].kind, proto::Kind::Auth);
        EXPECT_EQ(received[1], proto::ControlHandshake::mismatch());
    }
}

TEST(LinkFaults, BadAnswersDropTheLinkWithAReadableFailure)
{
    using Reply = std::function<void(FakeTerminal::Peer&, const proto::Message&)>;
    struct Row {
        const char* name;
        Reply reply;
        std::string description;
    };
    const std::vector<Row> rows {
        { "another request id",
            [](FakeTerminal::Peer& peer, const proto::Message& request) {
                proto::Message response = answer(request, 1);
                response.requestId += 1;
                peer.send(response);
            },
            "The terminal answered a different request" },
        { "another operation",
            [](FakeTerminal::Peer& peer, const proto::Message& request) {
                proto::Message response = answer(request, 1);
                response.op = proto::Op::ReadVendorName;
                peer.send(response);
            },
            "The terminal answered a different request" },
        { "a hello instead of a response",
            [](FakeTerminal::Peer& peer, const proto::Message&) {
                peer.send({ proto::Kind::Hello, proto::Op::None, 0,
                    { proto::Bytes { std::vector<std::uint8_t>(proto::kNonceSize, 3) } } });
            },
            "The terminal answered a different request" },
        { "a response without its fields",
            [](FakeTerminal::Peer& peer, const proto::Message& request) {
                peer.send({ proto::Kind::Response, request.op, request.requestId, { 0 } });
            },
            "The terminal sent an answer that could not be read" },
        { "a frame of the wrong version",
            [](FakeTerminal::Peer& peer, const proto::Message& request) {
                auto frame = proto::encode(answer(request, 1));
                frame[proto::kLengthPrefix] = proto::kVersion + 1;
                peer.sendRaw(frame);
            },
            "The terminal sent a message that could not be read (" },
        { "a length over the bound",
            [](FakeTerminal::Peer& peer, const proto::Message&) {
                const std::vector<std::uint8_t> huge { 0xff, 0xff, 0xff, 0x7f, 1, 5 };
                peer.sendRaw(huge);
            },
            "The terminal sent a message that could not be read (" },
        { "the connection closed", [](FakeTerminal::Peer&, const proto::Message&) {},
            "The connection to the terminal was lost" },
        { "half an answer, then closed",
            [](FakeTerminal::Peer& peer, const proto::Message& request) {
                const auto frame = proto::encode(answer(request, 1, "K3X"));
                peer.sendRaw(std::span(frame).first(frame.size() / 2));
            },
            "The connection to the terminal was lost" },
        { "half an answer, then silent",
            [](FakeTerminal::Peer& peer, const proto::Message& request) {
                const auto frame = proto::encode(answer(request, 1, "K3X"));
                peer.sendRaw(std::span(frame).first(frame.size() / 2));
                peer.waitClosed(3s);
            },
            "The terminal did not answer within 0.5 seconds" },
        { "no answer", [](FakeTerminal::Peer& peer, const proto::Message&) { peer.waitClosed(3s); },
            "The terminal did not answer within 0.5 seconds" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeTerminal fake("127.0.2.22", [&](FakeTerminal::Peer& peer) {
            if (!peer.handshake(7))
                return;
            if (const auto request = peer.receive())
                row.reply(peer, *request);
        });
        ASSERT_TRUE(fake.listening());
        NetworkTermLink link(kQuick);
        link.SetCommKey(7);
        ASSERT_NE(link.ConnectNetwork(u"127.0.2.22", kTerminalPort).value, 0);

        std::u16string value = u"untouched";
        const auto start = std::chrono::steady_clock::now();
        const CallResult result = link.ReadOption(1, u"~DeviceName", value);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kQuick.answer + 1s);
        EXPECT_EQ(result.status, kEFail);
        EXPECT_EQ(utf8(result.description).substr(0, row.description.size()), row.description);
        EXPECT_EQ(value, u"untouched");
        EXPECT_FALSE(link.isConnected());

        // The dropped link answers false, without a failure, until the next connect.
        const CallResult after = link.IsColorTerminal(1);
        EXPECT_EQ(after.status, kSOk);
        EXPECT_EQ(after.value, 0);
    }
}

TEST(LinkFaults, AnswerArrivingOneByteAtATimeIsReassembled)
{
    FakeTerminal fake("127.0.2.23", [](FakeTerminal::Peer& peer) {
        if (!peer.handshake(0))
            return;
        if (const auto request = peer.receive())
            peer.send(answer(*request, 1,
                          "Gr\xC3\xBC\xC3\x9F"
                          "e \xE2\x82\xAC"),
                true);
    });
    ASSERT_TRUE(fake.listening());
    NetworkTermLink link(kQuick);
    ASSERT_NE(link.ConnectNetwork(u"127.0.2.23", kTerminalPort).value, 0);
    std::u16string value;
    const CallResult result = link.ReadOption(1, u"Greeting", value);
    EXPECT_EQ(result.status, kSOk);
    EXPECT_NE(result.value, 0);
    EXPECT_EQ(value, u"Grüße €");
    EXPECT_TRUE(link.isConnected());
}

TEST(LinkFaults, TerminalFailureStatusPassesThroughAndKeepsTheLink)
{
    FakeTerminal fake("127.0.2.24", [](FakeTerminal::Peer& peer) {
        if (!peer.handshake(0))
            return;
        if (const auto first = peer.receive())
            peer.send(proto::makeResponse(*first, kEAccessDenied, 0, {}, "Locked by the site manager."));
        if (const auto second = peer.receive())
            peer.send(answer(*second, 1));
    });
    ASSERT_TRUE(fake.listening());
    NetworkTermLink link(kQuick);
    ASSERT_NE(link.ConnectNetwork(u"127.0.2.24", kTerminalPort).value, 0);

    const CallResult refused = link.WriteOption(1, u"IsHolidayValid", u"1");
    EXPECT_EQ(refused.status, kEAccessDenied);
    EXPECT_EQ(refused.description, u"Locked by the site manager.");
    EXPECT_TRUE(link.isConnected());

    const CallResult next = link.IsColorTerminal(1);
    EXPECT_EQ(next.status, kSOk);
    EXPECT_NE(next.value, 0);
}

TEST(LinkFaults, OverlongTextIsRefusedBeforeSendingAndKeepsTheLink)
{
    std::vector<proto::Op> seen;
    FakeTerminal fake("127.0.2.25", [&](FakeTerminal::Peer& peer) {
        if (!peer.handshake(0))
            return;
        if (const auto request = peer.receive()) {
            seen.push_back(request->op);
            peer.send(answer(*request, 1));
        }
    });
    ASSERT_TRUE(fake.listening());
    NetworkTermLink link(kQuick);
    ASSERT_NE(link.ConnectNetwork(u"127.0.2.25", kTerminalPort).value, 0);

    const CallResult tooLong = link.WriteOption(1, u"Note", std::u16string(proto::kMaxText + 1, u'x'));
    EXPECT_EQ(tooLong.status, kEInvalidArg);
    EXPECT_FALSE(tooLong.description.empty());
    EXPECT_TRUE(link.isConnected());

    EXPECT_NE(link.WriteOption(1, u"Note", std::u16string(proto::kMaxText, u'x')).value, 0);
    fake.finish();
    EXPECT_EQ(seen, std::vector<proto::Op> { proto::Op::WriteOption });
}

TEST(LinkFaults, EveryTerminalOperationWithoutALinkIsFalse)
{
    NetworkTermLink link(kQuick);
    std::u16string text;
    struct Row {
        const char* name;
        std::function<CallResult()> call;
    };
    const std::vector<Row> rows {
        { "ReadSerialNumber", [&] { return link.ReadSerialNumber(1, text); } },
        { "ReadProductName", [&] { return link.ReadProductName(1, text); } },
        { "ReadFirmwareVersion", [&] { return link.ReadFirmwareVersion(1, text); } },
        { "ReadTimeZone", [&] { return link.ReadTimeZone(1, 50, text); } },
        { "WriteTimeZone", [&] { return link.WriteTimeZone(1, 50, u"0000"); } },
        { "ReadGroupText", [&] { return link.ReadGroupText(1, 101, text); } },
        { "WriteGroupNumber", [&] { return link.WriteGroupNumber(1, 101, 0); } },
        { "RestartTerminal", [&] { return link.RestartTerminal(1); } },
        { "ReadVendorName", [&] { return link.ReadVendorName(text); } },
        { "ReadOption", [&] { return link.ReadOption(1, u"~DeviceName", text); } },
        { "WriteOption", [&] { return link.WriteOption(1, u"IsHolidayValid", u"1"); } },
        { "WriteUnlockCombination", [&] { return link.WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0); } },
        { "IsColorTerminal", [&] { return link.IsColorTerminal(1); } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        text.clear();
        const CallResult result = row.call();
        EXPECT_EQ(result.status, kSOk);
        EXPECT_EQ(result.value, 0);
        EXPECT_TRUE(text.empty());
    }

    // The control's own answers need no terminal.
    EXPECT_EQ(link.ReadSdkVersion(text).value, -1);
    EXPECT_EQ(text, termlink::kVersionText);
    EXPECT_EQ(link.SetCommKey(42).value, -1);
    EXPECT_EQ(link.DisconnectTerminal().status, kSOk);
}
