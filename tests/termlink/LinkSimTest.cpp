// The control against a real simulator on loopback (127.0.2.x, one address per
// test so that the tests can run in parallel).
#include "NetworkTermLink.h"
#include "SimOptions.h"
#include "TerminalConstants.h"
#include "TermsimProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using termlink::NetworkTermLink;
using Clock = std::chrono::steady_clock;

namespace {

std::string utf8(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

bool connect(NetworkTermLink& link, const std::u16string& address, std::int32_t key = 0)
{
    link.SetCommKey(key);
    return link.ConnectNetwork(address, kTerminalPort).value != 0;
}

// Retries the connect until it succeeds or the deadline passes; for a
// terminal that is coming back from a restart or a crash.
bool connectWithin(NetworkTermLink& link, const std::u16string& address, Clock::duration bound)
{
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline) {
        if (connect(link, address))
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::size_t openDescriptors()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

const std::u16string kWeek = u"08001700080017000800170008001700080017000800170008001700";

} // namespace

TEST(LinkSim, EveryOperationReachesTheTerminalWithItsArguments)
{
    TermsimProcess sim(simAt("127.0.2.1", 2468));
    ASSERT_TRUE(sim.started()) << sim.output();
    NetworkTermLink link;
    ASSERT_TRUE(connect(link, u"127.0.2.1", 2468));

    std::u16string text;
    struct Row {
        const char* record; // as the simulator's journal shows it
        std::function<CallResult()> call;
        bool result;
        std::optional<std::u16string> text; // nullopt: any non-empty text
    };
    const std::u16string greeting = u"Gr\u00FC\u00DFe \u20AC \U0001F600";
    const std::vector<Row> rows {
        { "ReadSerialNumber(1)", [&] { return link.ReadSerialNumber(1, text); }, true, std::nullopt },
        { "ReadProductName(1)", [&] { return link.ReadProductName(1, text); }, true, std::nullopt },
        { "ReadFirmwareVersion(1)", [&] { return link.ReadFirmwareVersion(1, text); }, true, std::nullopt },
        { "ReadVendorName()", [&] { return link.ReadVendorName(text); }, true, std::nullopt },
        { "ReadOption(1, ~DeviceName)", [&] { return link.ReadOption(1, u"~DeviceName", text); }, true, u"K3X" },
        { "ReadOption(1, NoSuchOption)", [&] { return link.ReadOption(1, u"NoSuchOption", text); }, false, u"" },
        { "WriteOption(1, Greeting, Gr\xC3\xBC\xC3\x9F"
          "e \xE2\x82\xAC \xF0\x9F\x98\x80)",
            [&] { return link.WriteOption(1, u"Greeting", greeting); }, true, u"" },
        { "ReadOption(1, Greeting)", [&] { return link.ReadOption(1, u"Greeting", text); }, true, greeting },
        { "ReadTimeZone(1, 50)", [&] { return link.ReadTimeZone(1, 50, text); }, false, u"" },
        { "WriteTimeZone(1, 50, 08001700080017000800170008001700080017000800170008001700)",
            [&] { return link.WriteTimeZone(1, 50, kWeek); }, true, u"" },
        { "ReadTimeZone(1, 50)", [&] { return link.ReadTimeZone(1, 50, text); }, true, kWeek },
        { "ReadGroupText(1, 101)", [&] { return link.ReadGroupText(1, 101, text); }, true, u"::" },
        { "WriteOption(1, GTZ101, 50:49::)", [&] { return link.WriteOption(1, u"GTZ101", u"50:49::"); }, true, u"" },
        { "ReadGroupText(1, 101)", [&] { return link.ReadGroupText(1, 101, text); }, true, u"50:49::" },
        { "WriteGroupNumber(1, 101, 0)", [&] { return link.WriteGroupNumber(1, 101, 0); }, true, u"" },
        { "ReadGroupText(1, 101)", [&] { return link.ReadGroupText(1, 101, text); }, true, u"::" },
        { "WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0)",
            [&] { return link.WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0); }, true, u"" },
        { "IsColorTerminal(1)", [&] { return link.IsColorTerminal(1); }, false, u"" },
        { "ReadOption(2, ~DeviceName)", [&] { return link.ReadOption(2, u"~DeviceName", text); }, false, u"" },
    };
    std::vector<std::string> expectedRecords;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.record);
        text.clear();
        const CallResult result = row.call();
        ASSERT_EQ(result.status, kSOk) << utf8(result.description);
        EXPECT_EQ(result.value != 0, row.result);
        if (row.text) {
            EXPECT_EQ(text, *row.text);
        } else {
            EXPECT_FALSE(text.empty());
        }
        expectedRecords.push_back(row.record);
    }
    // ReadSdkVersion and SetCommKey are the control's own: the terminal never sees them.
    EXPECT_NE(link.ReadSdkVersion(text).value, 0);
    EXPECT_EQ(text, termlink::kVersionText);
    EXPECT_EQ(sim.operations(), expectedRecords);
}

TEST(LinkSim, WrongKeyIsRefusedTheRightOneGetsInAndEachRefusalSaysWhy)
{
    TermsimProcess sim(simAt("127.0.2.2", 1234));
    ASSERT_TRUE(sim.started()) << sim.output();
    NetworkTermLink link;
    struct Row {
        std::int32_t key;
        ConnectFailure cause;
    };
    // The fifth wrong key locks this address out; then even the right key is refused.
    for (const Row row : { Row { 4321, ConnectFailure::WrongKey }, Row { -1234, ConnectFailure::WrongKey },
             Row { 1234, ConnectFailure::None }, Row { 1, ConnectFailure::WrongKey },
             Row { 2, ConnectFailure::WrongKey }, Row { 3, ConnectFailure::WrongKey },
             Row { 1234, ConnectFailure::LockedOut } }) {
        SCOPED_TRACE("key " + std::to_string(row.key));
        const bool accepted = row.cause == ConnectFailure::None;
        EXPECT_EQ(connect(link, u"127.0.2.2", row.key), accepted);
        EXPECT_EQ(link.isConnected(), accepted);
        EXPECT_EQ(link.lastConnectFailure().cause, row.cause) << link.lastConnectFailure().text;
        if (accepted) {
            std::u16string name;
            EXPECT_NE(link.ReadOption(1, u"~DeviceName", name).value, 0);
        }
    }
}

TEST(LinkSim, NothingListeningIsRefusedAtOnce)
{
    NetworkTermLink link;
    const auto start = Clock::now();
    EXPECT_FALSE(connect(link, u"127.0.2.99"));
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.lastConnectFailure().cause, ConnectFailure::Unreachable);
}

TEST(LinkSim, HangingTerminalIsCutOffAtTheFiveSecondBound)
{
    TermsimProcess sim(simAt("127.0.2.3", std::nullopt, { "ReadOption:Stuck=hang" }));
    ASSERT_TRUE(sim.started()) << sim.output();
    NetworkTermLink link; // the real bounds
    ASSERT_TRUE(connect(link, u"127.0.2.3"));

    std::u16string value;
    const auto start = Clock::now();
    const CallResult result = link.ReadOption(1, u"Stuck", value);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 5s);
    EXPECT_LT(elapsed, 6500ms);
    EXPECT_EQ(result.status, kEFail);
    EXPECT_EQ(result.description, u"The terminal did not answer within 5 seconds");
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.ReadOption(1, u"~DeviceName", value).value, 0);

    // A fresh link works; only the one option hangs.
    ASSERT_TRUE(connect(link, u"127.0.2.3"));
    EXPECT_NE(link.ReadOption(1, u"~DeviceName", value).value, 0);
    EXPECT_EQ(value, u"K3X");
}

TEST(LinkSim, DroppedConnectionFailsTheOperationAndTheLink)
{
    TermsimProcess sim(simAt("127.0.2.4", std::nullopt, { "WriteOption:Fragile=drop" }));
    ASSERT_TRUE(sim.started()) << sim.output();
    NetworkTermLink link;
    ASSERT_TRUE(connect(link, u"127.0.2.4"));

    const auto start = Clock::now();
    const CallResult result = link.WriteOption(1, u"Fragile", u"1");
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(result.status, kEFail);
    EXPECT_EQ(result.description, u"The connection to the terminal was lost");
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.IsColorTerminal(1).status, kSOk);
}

TEST(LinkSim, FaultRulesReachTheCallerAsTheTerminalGaveThem)
{
    TermsimProcess sim(simAt("127.0.2.7", std::nullopt,
        { "WriteOption:IsHolidayValid=false", "WriteOption:Relay=error:The door controller is not responding." }));
    ASSERT_TRUE(sim.started()) << sim.output();
    NetworkTermLink link;
    ASSERT_TRUE(connect(link, u"127.0.2.7"));

    const CallResult refused = link.WriteOption(1, u"IsHolidayValid", u"1");
    EXPECT_EQ(refused.status, kSOk);
    EXPECT_EQ(refused.value, 0);

    const CallResult failure = link.WriteOption(1, u"Relay", u"1");
    EXPECT_TRUE(failed(failure.status));
    EXPECT_EQ(failure.description, u"The door controller is not responding.");
    // The terminal answered, so the link stays up.
    EXPECT_TRUE(link.isConnected());
    EXPECT_NE(link.WriteOption(1, u"Other", u"1").value, 0);
}

TEST(LinkSim, RestartRefusesDuringThePauseThenServesWithStateKept)
{
    TermsimProcess sim(simAt("127.0.2.5", std::nullopt, {}, 1500));
    ASSERT_TRUE(sim.started()) << sim.output();
    NetworkTermLink link;
    ASSERT_TRUE(connect(link, u"127.0.2.5"));
    ASSERT_NE(link.WriteOption(1, u"Kept", u"yes").value, 0);

    const CallResult restart = link.RestartTerminal(1);
    const auto restartedAt = Clock::now();
    EXPECT_EQ(restart.status, kSOk);
    EXPECT_NE(restart.value, 0);
    EXPECT_FALSE(link.isConnected());
    std::u16string value;
    EXPECT_EQ(link.ReadOption(1, u"Kept", value).value, 0);

    const bool refused = !connect(link, u"127.0.2.5");
    if (Clock::now() - restartedAt < 1500ms) {
        EXPECT_TRUE(refused);
    }

    // The same control connects again after the pause, with no disconnect between.
    ASSERT_TRUE(connectWithin(link, u"127.0.2.5", 10s));
    EXPECT_GE(Clock::now() - restartedAt, 1400ms);
    EXPECT_NE(link.ReadOption(1, u"Kept", value).value, 0);
    EXPECT_EQ(value, u"yes");
}

TEST(LinkSim, StateSurvivesKillNine)
{
    TermsimProcess sim(simAt("127.0.2.6"));
    ASSERT_TRUE(sim.started()) << sim.output();
    NetworkTermLink link;
    ASSERT_TRUE(connect(link, u"127.0.2.6"));
    ASSERT_NE(link.WriteOption(1, u"~LockFunOn", u"15").value, 0);
    ASSERT_NE(link.WriteTimeZone(1, 49, kWeek).value, 0);

    sim.killHard();
    const CallResult orphaned = link.IsColorTerminal(1);
    EXPECT_EQ(orphaned.status, kEFail);
    EXPECT_EQ(orphaned.description, u"The connection to the terminal was lost");
    EXPECT_FALSE(connect(link, u"127.0.2.6"));

    ASSERT_TRUE(sim.start()) << sim.output();
    ASSERT_TRUE(connectWithin(link, u"127.0.2.6", 10s));
    std::u16string value;
    EXPECT_NE(link.ReadOption(1, u"~LockFunOn", value).value, 0);
    EXPECT_EQ(value, u"15");
    EXPECT_NE(link.ReadTimeZone(1, 49, value).value, 0);
    EXPECT_EQ(value, kWeek);
}

TEST(LinkSim, ReconnectingReplacesTheLinkWithoutLeakingSockets)
{
    TermsimProcess sim(simAt("127.0.2.8"));
    ASSERT_TRUE(sim.started()) << sim.output();
    NetworkTermLink link;
    ASSERT_TRUE(connect(link, u"127.0.2.8"));
    const std::size_t withOneLink = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE("reconnect " + std::to_string(i));
        ASSERT_TRUE(connect(link, u"127.0.2.8"));
        EXPECT_EQ(openDescriptors(), withOneLink);
    }
    std::u16string value;
    EXPECT_NE(link.ReadOption(1, u"~DeviceName", value).value, 0);
    link.DisconnectTerminal();
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(openDescriptors(), withOneLink - 1);
    EXPECT_EQ(link.ReadOption(1, u"~DeviceName", value).value, 0);
}
