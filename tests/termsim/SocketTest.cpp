// The real termsim binary on loopback addresses 127.0.1.x, one address per
// test so that ctest may run them in parallel.
#include "ITermLink.h"
#include "RequestHandler.h"
#include "TermsimProcess.h"
#include "TestClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>

using proto::Op;
using namespace std::chrono_literals;

namespace {

constexpr std::int32_t M = 1;

std::vector<nlohmann::json> events(const TermsimProcess& sim, const std::string& name)
{
    std::vector<nlohmann::json> found;
    for (const auto& entry : sim.journal()) {
        if (entry.value("event", "") == name) {
            found.push_back(entry);
        }
    }
    return found;
}

// The flood-limited lines' summaries; the first comes at the end of its
// second, so this waits for it, up to 3 s.
std::vector<nlohmann::json> summaryLines(const TermsimProcess& sim)
{
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (events(sim, "summary").empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    return events(sim, "summary");
}

TermsimProcess::Options at(std::string address)
{
    TermsimProcess::Options options;
    options.address = std::move(address);
    return options;
}

// Connects and passes the key check, or fails the test.
void open(TestClient& client, const TermsimProcess& sim, std::int32_t key = 0)
{
    ASSERT_TRUE(client.connect(sim.address()));
    const auto result = client.handshake(key);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->first, 0) << result->second;
}

} // namespace

TEST(TermsimSocket, RightKeyIsServedAndJournalled)
{
    auto simOptions = at("127.0.1.1");
    simOptions.key = 4711;
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started()) << sim.output();
    EXPECT_EQ(sim.output(), "termsim listening on 127.0.1.1:4370\n");

    TestClient client;
    open(client, sim, 4711);
    auto r = client.call(Op::WriteOption, { M, std::string("~LockFunOn"), std::string("14") });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, -1);
    r = client.call(Op::ReadOption, { M, std::string("~LockFunOn") });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->out, "14");
    r = client.call(Op::ReadVendorName, {});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->out, "Demo Vendor");

    EXPECT_EQ(sim.operations(),
        (std::vector<std::string> {
            "WriteOption(1, ~LockFunOn, 14)", "ReadOption(1, ~LockFunOn)", "ReadVendorName()" }));
    EXPECT_EQ(events(sim, "auth_ok").size(), 1u);
}

TEST(TermsimSocket, WrongKeyIsRefusedJournalledAndClosed)
{
    auto simOptions = at("127.0.1.2");
    simOptions.key = 4711;
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());
    TestClient client;
    ASSERT_TRUE(client.connect(sim.address()));
    const auto result = client.handshake(4712);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 1);
    EXPECT_EQ(result->second, "Wrong communication key");
    EXPECT_TRUE(client.closedByPeer());

    const auto failed = events(sim, "auth_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["address"], "127.0.0.1");
    EXPECT_TRUE(sim.operations().empty());
}

TEST(TermsimSocket, FiveWrongKeysLockTheAddressOut)
{
    TermsimProcess sim("127.0.1.3");
    ASSERT_TRUE(sim.started());
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        TestClient client;
        ASSERT_TRUE(client.connect(sim.address()));
        if (i % 2 == 1) {
            // A guesser that takes the terminal's proof and never confirms has
            // still had its guess, and it counts.
            const auto hello = client.receive();
            ASSERT_TRUE(hello);
            proto::ControlHandshake guess(99);
            ASSERT_TRUE(client.send(*guess.answerHello(*hello)));
            const auto proof = client.receive();
            ASSERT_TRUE(proof);
            EXPECT_EQ(proof->kind, proto::Kind::Proof);
            continue;
        }
        const auto result = client.handshake(99);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first, 1);
    }
    // Now even the right key is refused at once, with a reason, before any Hello.
    TestClient client;
    ASSERT_TRUE(client.connect(sim.address()));
    EXPECT_FALSE(client.handshake(0));
    const auto refusal = TestClient::authResult(client.unexpectedFirst());
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->first, 2);
    EXPECT_NE(refusal->second.find("try again in 30 seconds"), std::string::npos) << refusal->second;
    EXPECT_TRUE(client.closedByPeer());

    EXPECT_EQ(events(sim, "auth_failed").size(), 5u);
    EXPECT_EQ(events(sim, "auth_failed").back()["lockedOut"], true);
    EXPECT_EQ(events(sim, "auth_failed")[1]["reason"], "key check abandoned");
    EXPECT_EQ(events(sim, "locked_out").size(), 1u);
}

TEST(TermsimSocket, RestartClosesEverythingRefusesDuringThePauseThenServesWithStateKept)
{
    auto simOptions = at("127.0.1.4");
    simOptions.restartMs = 1500;
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());
    TestClient bystander;
    open(bystander, sim);
    TestClient client;
    open(client, sim);
    ASSERT_TRUE(client.call(Op::WriteOption, { M, std::string("OpenCloseExtOn"), std::string("1") }));

    const auto restartedAt = std::chrono::steady_clock::now();
    const auto r = client.call(Op::RestartTerminal, { M });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, -1);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(bystander.closedByPeer());
    TestClient during;
    EXPECT_FALSE(during.connect(sim.address()));

    TestClient after;
    bool served = false;
    while (!served && std::chrono::steady_clock::now() - restartedAt < 15s) {
        served = after.connect(sim.address());
        if (!served) {
            asio::io_context io;
            asio::steady_timer pause(io, 50ms); // a bounded poll while the terminal reboots
            pause.wait();
        }
    }
    ASSERT_TRUE(served);
    EXPECT_GE(std::chrono::steady_clock::now() - restartedAt, 1400ms);
    ASSERT_EQ(after.handshake(0), (std::pair<std::int32_t, std::string> { 0, "" }));
    const auto read = after.call(Op::ReadOption, { M, std::string("OpenCloseExtOn") });
    ASSERT_TRUE(read);
    EXPECT_EQ(read->out, "1");
    EXPECT_EQ(events(sim, "restart").size(), 1u);
    EXPECT_EQ(events(sim, "resume").size(), 1u);
}

TEST(TermsimSocket, KillNineLosesNothingThatWasAcknowledged)
{
    TermsimProcess sim("127.0.1.5");
    ASSERT_TRUE(sim.started());
    TestClient client;
    open(client, sim);
    // Send many writes at once, read a few answers, and kill the simulator in
    // the middle of the rest.
    constexpr int kWrites = 200;
    for (int i = 0; i < kWrites; ++i) {
        ASSERT_TRUE(client.send({ proto::Kind::Request, Op::WriteOption, static_cast<std::uint32_t>(i + 1),
            { M, "opt" + std::to_string(i), "v" + std::to_string(i) } }));
    }
    int acknowledged = 0;
    while (acknowledged < 5) {
        const auto m = client.receive();
        ASSERT_TRUE(m);
        ++acknowledged;
    }
    sim.killHard();
    while (client.receive(1000ms)) {
        ++acknowledged; // answers already on their way also count
    }

    ASSERT_TRUE(sim.start());
    TestClient again;
    open(again, sim);
    // The writes are handled in order and each save replaces the whole file,
    // so what survives is every write up to some point, at least those answered.
    int kept = 0;
    for (int i = 0; i < kWrites; ++i) {
        SCOPED_TRACE(i);
        const auto r = again.call(Op::ReadOption, { M, "opt" + std::to_string(i) });
        ASSERT_TRUE(r);
        if (r->result == 0) {
            break;
        }
        EXPECT_EQ(r->out, "v" + std::to_string(i));
        ++kept;
    }
    EXPECT_GE(kept, acknowledged);
    for (int i = kept + 1; i < kWrites; ++i) {
        const auto r = again.call(Op::ReadOption, { M, "opt" + std::to_string(i) });
        ASSERT_TRUE(r);
        ASSERT_EQ(r->result, 0) << "opt" << i << " kept although opt" << kept << " was lost";
    }
    const auto dir = std::filesystem::path(sim.stateFile()).parent_path();
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        EXPECT_TRUE(e.path().filename() == "state.json" || e.path().filename() == "journal.jsonl") << e.path();
    }
}

TEST(TermsimSocket, SigtermEndsCleanlyWithTheJournalFlushed)
{
    TermsimProcess sim("127.0.1.6");
    ASSERT_TRUE(sim.started());
    TestClient client;
    open(client, sim);
    ASSERT_TRUE(client.call(Op::IsColorTerminal, { M }));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(client.closedByPeer());
    const auto journal = sim.journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back()["event"], "stop");
}

TEST(TermsimSocket, FaultRulesFromTheCommandLine)
{
    auto simOptions = at("127.0.1.7");
    simOptions.fails = { "WriteOption:IsHolidayValid=false", "ReadOption:Slow=hang",
        "WriteTimeZone:48=error:Zone store full", "WriteOption:Gone=drop" };
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());
    TestClient client;
    open(client, sim);
    auto r = client.call(Op::WriteOption, { M, std::string("IsHolidayValid"), std::string("0") });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, 0);
    r = client.call(Op::WriteTimeZone, { M, 48, std::string("0") });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, kEFail);
    EXPECT_EQ(r->description, "Zone store full");

    // A hung request gets no answer, but the link stays up for the next one.
    EXPECT_FALSE(client.call(Op::ReadOption, { M, std::string("Slow") }, 500ms));
    r = client.call(Op::ReadOption, { M, std::string("~DCTZ") });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->out, "0");

    EXPECT_FALSE(client.call(Op::WriteOption, { M, std::string("Gone"), std::string("1") }));
    EXPECT_TRUE(client.closedByPeer());
}

TEST(TermsimSocket, SilentOrGarbledClientsAreDropped)
{
    auto simOptions = at("127.0.1.8");
    simOptions.extraArgs = { "--auth-timeout-ms", "300" };
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());

    TestClient silent;
    ASSERT_TRUE(silent.connect(sim.address()));
    ASSERT_TRUE(silent.receive()); // the Hello
    EXPECT_TRUE(silent.closedByPeer(3000ms));

    TestClient garbled;
    open(garbled, sim);
    ASSERT_TRUE(garbled.sendRaw({ 9, 0, 0, 0, 2, 4, 1, 0, 0, 0, 0, 0, 0 }));
    EXPECT_TRUE(garbled.closedByPeer());
    EXPECT_EQ(events(sim, "protocol_error").size(), 1u);

    TestClient noAuth;
    ASSERT_TRUE(noAuth.connect(sim.address()));
    ASSERT_TRUE(noAuth.receive());
    ASSERT_TRUE(noAuth.send({ proto::Kind::Request, Op::IsColorTerminal, 1, { M } }));
    EXPECT_TRUE(noAuth.closedByPeer());
    EXPECT_TRUE(sim.operations().empty());
}

TEST(TermsimSocket, AFrameSentOneByteAtATimeIsAnswered)
{
    TermsimProcess sim("127.0.1.9");
    ASSERT_TRUE(sim.started());
    TestClient client;
    open(client, sim);
    const auto frame = client.frame({ proto::Kind::Request, Op::ReadGroupText, 3, { M, 101 } });
    for (std::uint8_t byte : frame) {
        ASSERT_TRUE(client.sendRaw({ byte }));
    }
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    proto::ResponseFields f;
    ASSERT_TRUE(proto::readResponse(*reply, f));
    EXPECT_EQ(f.out, "::");
}

TEST(TermsimSocket, ManyConnectionsAtOnceEachWithItsOwnKeyCheck)
{
    auto simOptions = at("127.0.1.10");
    simOptions.key = 77;
    simOptions.extraArgs = { "--max-pending-per-address", "12" };
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());
    std::vector<std::unique_ptr<TestClient>> clients(12);
    for (auto& c : clients) {
        c = std::make_unique<TestClient>();
        ASSERT_TRUE(c->connect(sim.address()));
    }
    // Answer the Hellos in reverse order, one with a wrong key.
    for (std::size_t i = clients.size(); i-- > 0;) {
        const auto result = clients[i]->handshake(i == 3 ? 78 : 77);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first, i == 3 ? 1 : 0);
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        if (i != 3) {
            ASSERT_TRUE(
                clients[i]->call(Op::WriteTimeZone, { M, static_cast<std::int32_t>(i), "z" + std::to_string(i) }));
        }
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const auto r = clients[0]->call(Op::ReadTimeZone, { M, static_cast<std::int32_t>(i) });
        ASSERT_TRUE(r);
        EXPECT_EQ(r->out, i == 3 ? "" : "z" + std::to_string(i));
    }
}

TEST(TermsimSocket, StartUpFailuresExitNonZero)
{
    TermsimProcess first("127.0.1.11");
    ASSERT_TRUE(first.started());
    TermsimProcess second("127.0.1.11"); // port already taken
    EXPECT_FALSE(second.started());
    EXPECT_EQ(second.waitExit(10s), 1);

    TermsimProcess ipv6("::1");
    EXPECT_FALSE(ipv6.started());
    EXPECT_EQ(ipv6.waitExit(10s), 2);
}

TEST(TermsimSocket, AnswersTheSocketCannotTakeWaitAndAClientThatStopsReadingIsDropped)
{
    auto simOptions = at("127.0.1.12");
    simOptions.extraArgs = { "--io-timeout-ms", "1000" };
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());
    const std::string big(proto::kMaxText, 'x');
    // About 8 MB of answers: more than the socket buffers grow to (the
    // sender's to 4 MB at most here), so many wait in the simulator.
    constexpr std::uint32_t kReads = 2000;
    const auto sendReads = [](TestClient& client) {
        for (std::uint32_t i = 0; i < kReads; ++i) {
            if (!client.send({ proto::Kind::Request, Op::ReadOption, 1000 + i, { M, std::string("Big") } })) {
                return false;
            }
        }
        return true;
    };

    TestClient reader;
    open(reader, sim);
    ASSERT_TRUE(reader.call(Op::WriteOption, { M, std::string("Big"), big }));
    ASSERT_TRUE(sendReads(reader));
    for (std::uint32_t i = 0; i < kReads; ++i) {
        SCOPED_TRACE(i);
        const auto reply = reader.receive();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->requestId, 1000 + i);
        proto::ResponseFields f;
        ASSERT_TRUE(proto::readResponse(*reply, f));
        ASSERT_EQ(f.out, big);
    }
    ASSERT_TRUE(reader.call(Op::IsColorTerminal, { M }));

    // A client that stops reading is closed once an answer has waited longer
    // than the bound. Meanwhile its requests are no longer read once 64 KiB
    // of answers wait, so far from all it sent are answered.
    TestClient stalled;
    open(stalled, sim);
    std::vector<std::uint8_t> requests;
    std::size_t frameSize = 0;
    for (std::uint32_t i = 0; i < 8000; ++i) {
        const auto frame = stalled.frame({ proto::Kind::Request, Op::ReadOption, i + 1, { M, std::string("Big") } });
        requests.insert(requests.end(), frame.begin(), frame.end());
        frameSize = frame.size();
    }
    std::size_t sent = 0;
    for (int round = 0; round < 20 && sent < requests.size(); ++round) {
        sent += stalled.sendWhatFits({ requests.begin() + static_cast<std::ptrdiff_t>(sent), requests.end() });
        std::this_thread::sleep_for(20ms); // lets the simulator read what it will, bounded
    }
    const auto sentRequests = static_cast<std::ptrdiff_t>(sent / frameSize);
    // The journal holds every answer's 4 KiB text by now; the close, when it
    // comes, is its last line, so only the end is read.
    const auto dropped = [&sim] {
        std::ifstream in(sim.journalFile(), std::ios::binary | std::ios::ate);
        const std::streamoff size = in.tellg();
        const std::streamoff tail = std::min<std::streamoff>(size, 512);
        std::string text(static_cast<std::size_t>(tail), '\0');
        in.seekg(size - tail);
        in.read(text.data(), tail);
        return text.find(R"("reason":"write not finished in time")") != std::string::npos;
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!dropped() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms); // polling the journal, bounded
    }
    EXPECT_TRUE(dropped());
    EXPECT_TRUE(stalled.closedByPeer(5000ms));
    EXPECT_TRUE(reader.call(Op::IsColorTerminal, { M })); // the other link is untouched
    const auto journal = sim.journal();
    const auto answered = std::count_if(journal.begin(), journal.end(), [&](const nlohmann::json& line) {
        return line.value("op", "") == "ReadOption" && line.value("connection", 0) == 2;
    });
    EXPECT_LT(answered, sentRequests / 2) << sentRequests << " sent";
}

// Only the key check opens a terminal, so a guesser with many source
// addresses meets a terminal-wide budget: then even the right key is refused,
// with the lockout's text, both on a link opened before and on a new one.
TEST(TermsimSocket, WrongKeysFromManyAddressesLockTheWholeTerminal)
{
    auto simOptions = at("127.0.1.13");
    simOptions.key = 5;
    simOptions.extraArgs = { "--terminal-failures", "3", "--terminal-lockout-ms", "20000" };
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());
    TestClient early;
    ASSERT_TRUE(early.connect(sim.address(), 4370, 3000ms, "127.3.0.100"));
    for (int i = 1; i <= 3; ++i) {
        TestClient guesser;
        ASSERT_TRUE(guesser.connect(sim.address(), 4370, 3000ms, "127.3.0." + std::to_string(i)));
        const auto result = guesser.handshake(i);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first, 1);
    }
    const auto refusedEarly = early.handshake(5);
    ASSERT_TRUE(refusedEarly);
    EXPECT_EQ(refusedEarly->first, static_cast<std::int32_t>(proto::AuthCode::LockedOut));
    EXPECT_EQ(refusedEarly->second, "Too many wrong keys; try again in 20 seconds");

    TestClient late;
    ASSERT_TRUE(late.connect(sim.address(), 4370, 3000ms, "127.3.0.101"));
    EXPECT_FALSE(late.handshake(5));
    const auto refusal = TestClient::authResult(late.unexpectedFirst());
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->second.rfind("Too many wrong keys; try again in ", 0), 0u) << refusal->second;
    EXPECT_TRUE(late.closedByPeer());
    EXPECT_EQ(events(sim, "auth_ok").size(), 0u);
    EXPECT_EQ(events(sim, "locked_out").size(), 2u);
}

// Idle connections that never try a key cannot keep a real client out: a few
// per address, the oldest dropped for a newcomer when the table is full, the
// rest only counted in the journal.
TEST(TermsimSocket, IdleConnectionsCannotKeepARealClientOut)
{
    auto simOptions = at("127.0.1.14");
    simOptions.extraArgs = { "--max-connections", "16", "--max-pending-per-address", "4" };
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());
    TestClient installer;
    open(installer, sim);

    std::vector<std::unique_ptr<TestClient>> sameAddress(5);
    for (std::size_t i = 0; i < sameAddress.size(); ++i) {
        sameAddress[i] = std::make_unique<TestClient>();
        ASSERT_TRUE(sameAddress[i]->connect(sim.address()));
        SCOPED_TRACE(i);
        EXPECT_EQ(sameAddress[i]->receive().has_value(), i < 4); // the fifth gets no Hello
    }
    EXPECT_TRUE(sameAddress[4]->closedByPeer());

    std::vector<std::unique_ptr<TestClient>> idle(120);
    for (std::size_t i = 0; i < idle.size(); ++i) {
        idle[i] = std::make_unique<TestClient>();
        ASSERT_TRUE(idle[i]->connect(sim.address(), 4370, 3000ms, "127.4.0." + std::to_string(i + 1)));
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        SCOPED_TRACE(attempt);
        const auto started = std::chrono::steady_clock::now();
        TestClient client;
        ASSERT_TRUE(client.connect(sim.address(), 4370, 3000ms, "127.4.1.1"));
        const auto result = client.handshake(0);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first, 0);
        EXPECT_TRUE(client.call(Op::IsColorTerminal, { M }));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    }
    EXPECT_TRUE(installer.call(Op::IsColorTerminal, { M })); // never dropped
    EXPECT_TRUE(idle.front()->closedByPeer(1000ms));

    // Some 260 connection events, journalled as a few lines and a summary.
    const auto summaries = summaryLines(sim);
    ASSERT_FALSE(summaries.empty());
    EXPECT_GT(summaries[0]["counts"].value("close: dropped for a newer connection", 0), 0);
    EXPECT_LT(sim.journal().size(), 130u);
}

// What a recording of a good session gives an attacker: nothing that passes
// a fresh key check, and nothing the terminal will take once a link is up.
TEST(TermsimSocket, RecordedHandshakesAndChangedOrReplayedFramesAreRefused)
{
    auto simOptions = at("127.0.1.13");
    simOptions.key = 246810;
    TermsimProcess sim(simOptions);
    ASSERT_TRUE(sim.started());

    std::vector<std::vector<std::uint8_t>> recorded;
    TestClient genuine;
    ASSERT_TRUE(genuine.connect(sim.address()));
    ASSERT_EQ(genuine.handshake(246810, &recorded), (std::pair<std::int32_t, std::string> { 0, "" }));
    const auto request = genuine.frame({ proto::Kind::Request, Op::WriteOption, 1, { M, std::string("A"), "1" } });
    ASSERT_TRUE(genuine.sendRaw(request));
    ASSERT_TRUE(genuine.receive());
    ASSERT_EQ(recorded.size(), 2u); // Auth, Confirm

    TestClient replay;
    ASSERT_TRUE(replay.connect(sim.address()));
    ASSERT_TRUE(replay.receive()); // a fresh Hello
    ASSERT_TRUE(replay.sendRaw(recorded[0]));
    const auto proof = replay.receive();
    ASSERT_TRUE(proof);
    ASSERT_TRUE(replay.sendRaw(recorded[1]));
    const auto verdict = TestClient::authResult(replay.receive());
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->first, 1);
    EXPECT_TRUE(replay.closedByPeer());

    // On an open link: a changed frame, the same frame again, and a later
    // frame before an earlier one each close the connection.
    using Frames = std::vector<std::vector<std::uint8_t>>;
    struct Row {
        const char* name;
        std::function<Frames(TestClient&)> frames; // the last must be refused
    };
    const proto::Message read { proto::Kind::Request, Op::ReadOption, 2, { M, std::string("A") } };
    const std::vector<Row> rows {
        { "changed",
            [&](TestClient& c) {
                auto frame = c.frame(read);
                frame[proto::kLengthPrefix + 3] ^= 0x04;
                return Frames { frame };
            } },
        { "replayed",
            [&](TestClient& c) {
                const auto frame = c.frame(read);
                return Frames { frame, frame };
            } },
        { "reordered",
            [&](TestClient& c) {
                c.frame(read); // sealed, never sent
                return Frames { c.frame(read) };
            } },
        { "recorded from another session", [&](TestClient&) { return Frames { request }; } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestClient client;
        open(client, sim, 246810);
        const auto frames = row.frames(client);
        for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
            ASSERT_TRUE(client.sendRaw(frames[i]));
            ASSERT_TRUE(client.receive());
        }
        ASSERT_TRUE(client.sendRaw(frames.back()));
        EXPECT_TRUE(client.closedByPeer());
    }
    const auto errors = events(sim, "protocol_error");
    ASSERT_EQ(errors.size(), rows.size());
    EXPECT_NE(errors[0]["error"].get<std::string>().find("integrity check"), std::string::npos);
    EXPECT_EQ(sim.operations(),
        (std::vector<std::string> { "WriteOption(1, A, 1)", "ReadOption(1, A)" })); // the replayed row's first
}

// A peer of the old version is refused with a reason it can read (version
// 1's AuthResult has the same layout) and the journal says why; a flood of
// them, which needs no key, is only counted like any other.
TEST(TermsimSocket, AnOldVersionPeerIsToldTheVersionIsUnsupported)
{
    TermsimProcess sim("127.0.1.14");
    ASSERT_TRUE(sim.started());
    const proto::Message oldAuth { proto::Kind::Auth, Op::None, 0,
        { proto::Bytes { std::vector<std::uint8_t>(32, 0xAB) } } };
    const auto oldFrame = proto::encode(oldAuth, proto::kMaxFrame, 1);
    TestClient old;
    ASSERT_TRUE(old.connect(sim.address()));
    ASSERT_TRUE(old.receive());
    ASSERT_TRUE(old.sendRaw(oldFrame));
    EXPECT_FALSE(old.receive()); // not our version
    auto reply = old.unread();
    ASSERT_GT(reply.size(), proto::kLengthPrefix);
    EXPECT_EQ(reply[proto::kLengthPrefix], 1);
    reply[proto::kLengthPrefix] = proto::kVersion;
    const auto refusal = TestClient::authResult(proto::decode(reply).message);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->first, 1);
    EXPECT_NE(refusal->second.find("unsupported protocol version 1"), std::string::npos) << refusal->second;
    old.dropUnread();
    EXPECT_TRUE(old.closedByPeer());
    const auto errors = events(sim, "protocol_error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0]["error"].get<std::string>().find("unsupported protocol version 1"), std::string::npos);

    constexpr std::size_t floodSize = 80;
    for (std::size_t i = 0; i < floodSize; ++i) {
        TestClient flood;
        ASSERT_TRUE(flood.connect(sim.address(), 4370, 3000ms, "127.5.0." + std::to_string(i + 1)));
        ASSERT_TRUE(flood.receive());
        ASSERT_TRUE(flood.sendRaw(oldFrame));
        EXPECT_FALSE(flood.receive()); // the refusal, in version 1's framing
    }
    const auto summaries = summaryLines(sim);
    ASSERT_FALSE(summaries.empty());
    EXPECT_GT(summaries[0]["counts"].value("protocol_error", 0), 0);
    EXPECT_LT(events(sim, "protocol_error").size(), floodSize);
}

TEST(TermsimSocket, ASiteIsManyTerminalsEachWithItsOwnStateFaultsAndJournal)
{
    auto options = at("127.0.19.1");
    options.count = 3;
    options.latencyMs = 500;
    options.fails = { "127.0.19.3@WriteOption=false" };
    const std::string dir = std::filesystem::temp_directory_path() / ("latchwise-site-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    options.stateDir = dir;
    std::ofstream(dir + "/127.0.19.2.json") << R"({"key": 77})";
    TermsimProcess sim(options);
    ASSERT_TRUE(sim.started()) << sim.output();
    EXPECT_EQ(sim.output(), "termsim listening on 127.0.19.1:4370 to 127.0.19.3:4370 (3 terminals)\n");

    // Side by side: three slow answers take about one answer's time, not three.
    struct Row {
        std::string address;
        std::int32_t key;
        std::int32_t expected;
    };
    const std::vector<Row> rows { { "127.0.19.1", 0, RequestHandler::kTrue },
        { "127.0.19.2", 77, RequestHandler::kTrue }, { "127.0.19.3", 0, 0 } };
    std::vector<std::optional<proto::ResponseFields>> answers(rows.size());
    std::vector<std::chrono::milliseconds> took(rows.size());
    const auto started = std::chrono::steady_clock::now();
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            threads.emplace_back([&, i] {
                TestClient client;
                if (!client.connect(rows[i].address) || !client.handshake(rows[i].key))
                    return;
                const auto before = std::chrono::steady_clock::now();
                answers[i] = client.call(Op::WriteOption, { M, std::string("Door"), rows[i].address });
                took[i]
                    = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
            });
        }
    }
    const auto wall = std::chrono::steady_clock::now() - started;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].address);
        ASSERT_TRUE(answers[i].has_value());
        EXPECT_EQ(answers[i]->result, rows[i].expected);
        EXPECT_GE(took[i], 500ms);
        EXPECT_EQ(sim.operations(rows[i].address),
            (std::vector<std::string> { "WriteOption(1, Door, " + rows[i].address + ")" }));
    }
    EXPECT_LT(wall, 1500ms);

    // Each terminal keeps its own file, named by its address.
    sim.stop();
    const auto stored = [&](const std::string& address) {
        return nlohmann::json::parse(std::ifstream(sim.stateFileOf(address)))["options"].value("Door", "");
    };
    EXPECT_EQ(stored("127.0.19.1"), "127.0.19.1");
    EXPECT_EQ(stored("127.0.19.2"), "127.0.19.2");
    EXPECT_EQ(stored("127.0.19.3"), "");
    std::filesystem::remove_all(dir);
}
