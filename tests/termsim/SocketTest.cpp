// The real termsim binary on loopback addresses 127.0.1.x, one address per
// test so that ctest may run them in parallel.
#include "ITermLink.h"
#include "TermsimProcess.h"
#include "TestClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

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
    EXPECT_EQ(refusal->first, 1);
    EXPECT_NE(refusal->second.find("try again in 30 seconds"), std::string::npos) << refusal->second;
    EXPECT_TRUE(client.closedByPeer());

    EXPECT_EQ(events(sim, "auth_failed").size(), 5u);
    EXPECT_EQ(events(sim, "auth_failed").back()["lockedOut"], true);
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
    const auto frame = proto::encode({ proto::Kind::Request, Op::ReadGroupText, 3, { M, 101 } });
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
        const auto frame = proto::encode({ proto::Kind::Request, Op::ReadOption, i + 1, { M, std::string("Big") } });
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
    EXPECT_EQ(refusedEarly->first, 1);
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
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (events(sim, "summary").empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms); // the summary comes at the end of its second, bounded
    }
    const auto summaries = events(sim, "summary");
    ASSERT_FALSE(summaries.empty());
    EXPECT_GT(summaries[0]["counts"].value("close: dropped for a newer connection", 0), 0);
    EXPECT_LT(sim.journal().size(), 130u);
}
