// The real latchwise-fleet against a real termsim site, each test on loopback
// addresses of its own (127.0.21.x and up).
#include "FleetTestSupport.h"
#include "SettingsStore.h"
#include "TCTermLink.h"
#include "TermLinkLoader.h"
#include "TermsimProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Terminals t01, t02, ... on consecutive addresses from `first`.
std::string siteCsv(const std::string& prefix, int from, int count)
{
    std::string text = "name,address,key\n";
    for (int i = from; i < from + count; ++i) {
        const std::string number = (i < 10 ? "0" : "") + std::to_string(i);
        text += "t" + number + "," + prefix + std::to_string(i) + ",\n";
    }
    return text;
}

std::map<std::string, nlohmann::json> byName(const nlohmann::json& report)
{
    std::map<std::string, nlohmann::json> terminals;
    for (const auto& entry : report.value("terminals", nlohmann::json::array()))
        terminals[entry.value("name", "")] = entry;
    return terminals;
}

int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TermsimProcess::Options site(const std::string& first, int count, const TempDir& dir)
{
    TermsimProcess::Options options;
    options.address = first;
    options.count = count;
    options.stateDir = dir.path() + "/states";
    options.journalFile = dir.path() + "/journal.jsonl";
    std::filesystem::create_directories(options.stateDir);
    return options;
}

// A port that takes connections (the kernel completes them) but never says a
// word: a terminal that hangs in the key check.
class SilentListener {
public:
    explicit SilentListener(const std::string& address)
        : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in at {};
        at.sin_family = AF_INET;
        at.sin_port = htons(kTerminalPort);
        inet_pton(AF_INET, address.c_str(), &at.sin_addr);
        const int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // The cast is the sockets API's own.
        m_listening
            = m_fd >= 0 && bind(m_fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 && listen(m_fd, 8) == 0;
    }
    ~SilentListener()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    bool listening() const { return m_listening; }

private:
    int m_fd;
    bool m_listening = false;
};

} // namespace

TEST(FleetSite, EachFailureIsIsolatedReportedWithItsOutcomeAndBounded)
{
    const TempDir dir;
    auto options = site("127.0.21.1", 19, dir);
    options.fails = { "127.0.21.3@WriteOption:IsHolidayValid=false", "127.0.21.4@WriteTimeZone:50=false",
        "127.0.21.6@ReadOption:~DeviceName=hang" };
    dir.file("states/127.0.21.5.json", R"({"key": 99})");
    TermsimProcess sim(options);
    ASSERT_TRUE(sim.started()) << sim.output();

    // Nothing listens on 127.0.21.20; 127.0.21.21 takes the connection and says nothing.
    const SilentListener silent("127.0.21.21");
    ASSERT_TRUE(silent.listening());
    const std::string siteFile = dir.file("site.csv", siteCsv("127.0.21.", 1, 21));
    const std::string schedule
        = dir.file("schedule.json", nlohmann::json { { "zones", { { "1", weekOf("0800", "1700") } } } }.dump());

    // Bad input first: nothing is contacted, exit 2, one error per bad line.
    const std::string badSite = dir.file("bad.csv", siteCsv("127.0.21.", 1, 3) + "x,127.0.21.300,\ny,127.0.21.1,\n");
    ChildProcess refused(fleetArgs({ "program", "--site", badSite, "--schedule", schedule }));
    EXPECT_EQ(refused.wait(20s), 2);
    EXPECT_NE(refused.err().find("bad.csv: line 5: \"127.0.21.300\" is not a dotted IPv4 address"), std::string::npos)
        << refused.err();
    EXPECT_NE(refused.err().find("bad.csv: line 6: the address 127.0.21.1 is already on line 2"), std::string::npos);
    ChildProcess badSchedule(fleetArgs({ "program", "--site", siteFile, "--schedule", siteFile }));
    EXPECT_EQ(badSchedule.wait(20s), 2);
    ChildProcess folder(fleetArgs({ "program", "--site", siteFile, "--schedule", dir.path() }));
    EXPECT_EQ(folder.wait(20s), 2);
    EXPECT_NE(folder.err().find(dir.path() + ": it is a folder"), std::string::npos) << folder.err();
    // A report that could not be written is found out before the site, not after.
    ChildProcess noReport(fleetArgs(
        { "program", "--site", siteFile, "--schedule", schedule, "--report", dir.path() + "/missing/report.json" }));
    EXPECT_EQ(noReport.wait(20s), 2);
    EXPECT_NE(noReport.err().find("cannot write the report"), std::string::npos) << noReport.err();
    EXPECT_EQ(count(nlohmann::json(sim.journal()).dump(), "\"accept\""), 0);

    // Five wrong keys lock t07 out: its right key is then refused too, and
    // the fleet must say locked out, not wrong key.
    TCTermLink guesser(createTermLinkFromLibrary(TERMLINK_LIBRARY_PATH));
    guesser.SetCommKey(12345);
    for (int guess = 0; guess < 5; ++guess)
        EXPECT_FALSE(guesser.ConnectNetwork(u"127.0.21.7", kTerminalPort));

    const std::string reportFile = dir.path() + "/report.json";
    const auto started = std::chrono::steady_clock::now();
    ChildProcess fleet(
        fleetArgs({ "program", "--site", siteFile, "--schedule", schedule, "--jobs", "8", "--report", reportFile }));
    ASSERT_EQ(fleet.wait(60s), 1) << fleet.out() << fleet.err();
    // The hang costs its own bound (5 s per answer), not the others' time.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);

    const auto report = readJson(reportFile);
    ASSERT_FALSE(report.is_discarded());
    EXPECT_EQ(report["command"], "program");
    const auto terminals = byName(report);
    ASSERT_EQ(terminals.size(), 21u);
    // A failed connect is reported with the control's own cause and sentence.
    struct Expected {
        const char* name;
        const char* outcome;
        nlohmann::json refused;
        std::string errorHas;
        int minMs;
        int maxMs;
    };
    const std::vector<Expected> failures {
        { "t03", "refused", { "WriteOption(IsHolidayValid, 0)" }, "", 0, 3000 },
        { "t04", "refused", { "WriteTimeZone(50, 08001700080017000800170008001700080017000800170008001700)" }, "", 0,
            3000 },
        { "t05", "wrong key", nlohmann::json::array(), "Wrong communication key", 0, 2000 },
        { "t06", "timed out", nlohmann::json::array(), "did not answer", 4500, 7000 },
        { "t07", "locked out", nlohmann::json::array(), "try again in", 0, 2000 },
        { "t20", "unreachable", nlohmann::json::array(), "could not be reached", 0, 2000 },
        { "t21", "timed out", nlohmann::json::array(), "during the key check", 4500, 7000 },
    };
    for (const auto& row : failures) {
        SCOPED_TRACE(row.name);
        const auto& entry = terminals.at(row.name);
        EXPECT_EQ(entry["outcome"], row.outcome);
        EXPECT_EQ(entry["refused"], row.refused);
        EXPECT_NE(entry.value("error", "").find(row.errorHas), std::string::npos) << entry.value("error", "");
        EXPECT_GE(entry["durationMs"].get<int>(), row.minMs);
        EXPECT_LT(entry["durationMs"].get<int>(), row.maxMs);
    }
    for (const auto& [name, entry] : terminals) {
        if (entry["outcome"] != "ok")
            continue;
        SCOPED_TRACE(name);
        EXPECT_EQ(entry["stateBefore"], "DISABLED");
        EXPECT_EQ(entry["stateAfter"], "ENABLED");
        EXPECT_EQ(entry["stateAfterReadBack"], false);
        EXPECT_EQ(entry["identity"].size(), 5u);
        EXPECT_EQ(sim.operations(entry["address"]).back(), "WriteOption(1, IsHolidayValid, 0)");
    }
    EXPECT_EQ(report["totals"]["ok"], 14);

    // Not a terminal: one plain line per terminal, then the totals.
    EXPECT_EQ(count(fleet.out(), "\n"), 22) << fleet.out();
    EXPECT_NE(fleet.out().find("t05  127.0.21.5  wrong key: Wrong communication key"), std::string::npos);
    EXPECT_NE(fleet.out().find("21 terminals in "), std::string::npos);
    EXPECT_NE(fleet.out().find(": 14 ok, 2 refused, 1 wrong key, 1 locked out, 1 unreachable, 2 timed out\n"),
        std::string::npos);
}

TEST(FleetSite, InterruptOnceFinishesTheRunningAndStartsNoMore)
{
    const TempDir dir;
    auto options = site("127.0.22.1", 12, dir);
    options.latencyMs = 100;
    TermsimProcess sim(options);
    ASSERT_TRUE(sim.started()) << sim.output();
    const std::string reportFile = dir.path() + "/report.json";
    ChildProcess fleet(fleetArgs({ "program", "--site", dir.file("site.csv", siteCsv("127.0.22.", 1, 12)), "--disable",
        "--jobs", "2", "--report", reportFile }));
    ASSERT_TRUE(fleet.waitForOutput("  ok  ", 30s)) << fleet.out() << fleet.err();
    fleet.signal(SIGINT);
    ASSERT_EQ(fleet.wait(30s), 1) << fleet.out() << fleet.err();
    EXPECT_NE(fleet.out().find("Interrupted: no new terminal is started"), std::string::npos);

    std::map<std::string, int> outcomes;
    for (const auto& [name, entry] : byName(readJson(reportFile)))
        ++outcomes[entry["outcome"]];
    EXPECT_EQ(outcomes["interrupted"], 0);
    EXPECT_GE(outcomes["ok"], 1);
    EXPECT_LE(outcomes["ok"], 4);
    EXPECT_EQ(outcomes["ok"] + outcomes["not started"], 12);
    // Whatever was started ran to its final write.
    for (int i = 1; i <= 12; ++i) {
        const auto ops = sim.operations("127.0.22." + std::to_string(i));
        if (!ops.empty()) {
            EXPECT_EQ(ops.back(), "WriteOption(1, IsHolidayValid, 0)");
        }
    }
}

TEST(FleetSite, InterruptTwiceStopsAtOnceAndNamesThePartlyProgrammed)
{
    const TempDir dir;
    auto options = site("127.0.23.1", 4, dir);
    options.fails = { "WriteOption:IsHolidayValid=hang" };
    TermsimProcess sim(options);
    ASSERT_TRUE(sim.started()) << sim.output();
    const std::string reportFile = dir.path() + "/report.json";
    ChildProcess fleet(fleetArgs({ "program", "--site", dir.file("site.csv", siteCsv("127.0.23.", 1, 4)), "--disable",
        "--jobs", "2", "--report", reportFile }));
    // Both running terminals are stuck at their final write.
    const auto stuck = [&] {
        const auto ops = sim.operations();
        return std::count(ops.begin(), ops.end(), "WriteOption(1, IsHolidayValid, 0)") == 2;
    };
    for (auto until = std::chrono::steady_clock::now() + 20s; !stuck() && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(stuck());
    fleet.signal(SIGINT);
    ASSERT_TRUE(fleet.waitForOutput("Interrupted", 5s));
    fleet.signal(SIGINT);
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(fleet.wait(10s), 1) << fleet.out() << fleet.err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);
    EXPECT_NE(fleet.out().find("may be partly programmed: t01 (127.0.23.1) t02 (127.0.23.2)"), std::string::npos)
        << fleet.out();
    const auto terminals = byName(readJson(reportFile));
    EXPECT_EQ(terminals.at("t01")["outcome"], "interrupted");
    EXPECT_EQ(terminals.at("t02")["outcome"], "interrupted");
    EXPECT_EQ(terminals.at("t03")["outcome"], "not started");
    EXPECT_EQ(terminals.at("t04")["outcome"], "not started");
}

TEST(FleetSite, VerifyAfterRestartCatchesATimeZoneTheTerminalLostOrARefusedRestart)
{
    const TempDir dir;
    auto options = site("127.0.24.1", 3, dir);
    options.restartMs = 300;
    options.fails = { "127.0.24.2@WriteTimeZone:49=ignore", "127.0.24.3@RestartTerminal=false" };
    const std::string old(56, '1');
    dir.file("states/127.0.24.2.json", nlohmann::json { { "timeZones", { { "49", old } } } }.dump());
    TermsimProcess sim(options);
    ASSERT_TRUE(sim.started()) << sim.output();
    const std::string schedule = dir.file("schedule.json",
        nlohmann::json { { "zones", { { "1", weekOf("0800", "1700") }, { "2", weekOf("1900", "2000") } } } }.dump());
    const std::string reportFile = dir.path() + "/report.json";
    ChildProcess fleet(fleetArgs({ "program", "--site", dir.file("site.csv", siteCsv("127.0.24.", 1, 3)), "--schedule",
        schedule, "--force-close", "--restart", "--verify", "--retries", "10", "--report", reportFile }));
    ASSERT_EQ(fleet.wait(60s), 1) << fleet.out() << fleet.err();

    const auto terminals = byName(readJson(reportFile));
    const auto& good = terminals.at("t01");
    EXPECT_EQ(good["outcome"], "ok");
    EXPECT_EQ(good["restarted"], true);
    EXPECT_EQ(good["stateAfter"], "ENABLED");
    EXPECT_EQ(good["stateAfterReadBack"], true);
    const auto& lost = terminals.at("t02");
    EXPECT_EQ(lost["outcome"], "mismatch");
    EXPECT_EQ(lost["mismatches"],
        nlohmann::json::array({ "time zone 49 reads \"" + old
            + "\", not \"19002000190020001900200019002000190020001900200019002000\"" }));
    const auto& refused = terminals.at("t03");
    EXPECT_EQ(refused["outcome"], "refused");
    EXPECT_EQ(refused["restarted"], false);
    EXPECT_EQ(refused["refused"], nlohmann::json::array({ "RestartTerminal()" }));
    // The read-back came after the restart, on a new connection.
    const auto ops = sim.operations("127.0.24.1");
    const auto restart = std::find(ops.begin(), ops.end(), "RestartTerminal(1)");
    ASSERT_NE(restart, ops.end());
    EXPECT_EQ(std::vector<std::string>(ops.end() - 2, ops.end()),
        (std::vector<std::string> { "ReadTimeZone(1, 50)", "ReadTimeZone(1, 49)" }));
}

TEST(FleetSite, FromStoreProgramsWhatExportScheduleWritesAndStatusReadsTheResult)
{
    const TempDir dir;
    const std::string hklm = dir.path() + "/hklm.db";
    setenv("LATCHWISE_HKLM", hklm.c_str(), 1);
    SettingsStore store(hklm);
    const std::string zone1 = "06002200070023000800000009000100100002001100030012000400";
    for (const auto& [ident, value] : std::vector<std::pair<std::string, std::string>> {
             { "50", zone1 }, { "49", std::string(56, '0') }, { "TZ49", "1" }, { "TZ48", "0" } })
        SetTZIntoReg(store, ident, value);

    auto options = site("127.0.25.1", 2, dir);
    TermsimProcess sim(options);
    ASSERT_TRUE(sim.started()) << sim.output();

    ChildProcess exported(fleetArgs({ "export-schedule" }));
    ASSERT_EQ(exported.wait(20s), 0) << exported.err();
    const std::string schedule = dir.file("exported.json", exported.out());
    EXPECT_EQ(readJson(schedule)["zones"]["1"]["saturday"], nlohmann::json::array({ "1200", "0400" }));

    ChildProcess fromFile(fleetArgs(
        { "program", "--site", dir.file("a.csv", "name,address,key\na,127.0.25.1,\n"), "--schedule", schedule }));
    ChildProcess fromStore(
        fleetArgs({ "program", "--site", dir.file("b.csv", "name,address,key\nb,127.0.25.2,\n"), "--from-store" }));
    EXPECT_EQ(fromFile.wait(30s), 0) << fromFile.out() << fromFile.err();
    EXPECT_EQ(fromStore.wait(30s), 0) << fromStore.out() << fromStore.err();
    const auto programmed = sim.operations("127.0.25.1");
    EXPECT_EQ(sim.operations("127.0.25.2"), programmed);
    EXPECT_NE(std::find(programmed.begin(), programmed.end(), "WriteTimeZone(1, 50, " + zone1 + ")"), programmed.end());
    EXPECT_NE(std::find(programmed.begin(), programmed.end(), "WriteOption(1, GTZ101, 50:49:::)"), programmed.end());
    // The fleet reads the store and never writes it.
    SettingsBracket bracket(store, kSettingsPath);
    EXPECT_EQ(store.ReadSetting(kSettingsSection, "TZ48", "missing"), "0");
    EXPECT_EQ(store.ReadSetting(kSettingsSection, "48", "missing"), "missing");

    // status reads what Connect reads and writes nothing.
    const std::size_t before = sim.operations().size();
    const std::string reportFile = dir.path() + "/status.json";
    ChildProcess status(
        fleetArgs({ "status", "--site", dir.file("ab.csv", siteCsv("127.0.25.", 1, 2)), "--report", reportFile }));
    ASSERT_EQ(status.wait(30s), 0) << status.out() << status.err();
    const auto report = readJson(reportFile);
    EXPECT_EQ(report["command"], "status");
    for (const auto& entry : report["terminals"]) {
        EXPECT_EQ(entry["outcome"], "ok");
        EXPECT_EQ(entry["stateBefore"], "ENABLED");
        EXPECT_EQ(entry["stateAfter"], nullptr);
    }
    const auto all = sim.operations();
    for (std::size_t i = before; i < all.size(); ++i)
        EXPECT_FALSE(all[i].starts_with("Write")) << all[i];
}
