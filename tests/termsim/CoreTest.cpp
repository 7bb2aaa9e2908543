#include "Lockout.h"
#include "TerminalState.h"
#include "Termsim.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "termsim-test-XXXXXX").string();
        m_path = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(m_path); }
    fs::path operator/(const std::string& name) const { return m_path / name; }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_path)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }

private:
    fs::path m_path;
};

std::string readFile(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path) << text;
}

} // namespace

TEST(StateFile, AMissingFileIsCreatedWithTheDefaults)
{
    TempDir dir;
    const StateFile file((dir / "state.json").string());
    const TerminalState loaded = file.load();
    EXPECT_EQ(loaded, TerminalState {});
    EXPECT_FALSE(loaded.colorTerminal);
    EXPECT_EQ(loaded.key, 0);
    EXPECT_EQ(loaded.options,
        (std::map<std::string, std::string> {
            { "~DeviceName", "K3X" }, { "GTZ101", "::" }, { "GTZ102", "::" }, { "~DCTZ", "0" }, { "~DOTZ", "0" } }));
    EXPECT_TRUE(loaded.timeZones.empty());
    ASSERT_TRUE(fs::exists(dir / "state.json"));
    EXPECT_EQ(file.load(), loaded);
}

TEST(StateFile, SavesEverythingAndLeavesNoTemporaryFiles)
{
    TempDir dir;
    const StateFile file((dir / "state.json").string());
    TerminalState s;
    s.colorTerminal = true;
    s.key = -123456;
    s.vendorName = "Vendeur spécial ✓";
    s.options["PermanentDoorColor"] = "1";
    s.timeZones[50] = "08001700";
    s.timeZones[-3] = "";
    s.groupNumbers[101] = 0;
    s.unlockCombination = { 1, 1, 0, 0, 0, 0 };
    for (int i = 0; i < 5; ++i) {
        s.options["n"] = std::to_string(i);
        file.save(s);
    }
    // A shorter state goes into a spare that held a longer one.
    s.options.erase("PermanentDoorColor");
    file.save(s);
    EXPECT_EQ(stateFromJson(nlohmann::json::parse(readFile(dir / "state.json"))), s);
    EXPECT_EQ(file.load(), s);
    EXPECT_EQ(dir.entries(), std::vector<std::string> { "state.json" });
}

TEST(StateFile, TheCompactFormReadsBackAsTheSameState)
{
    TerminalState s;
    s.firmwareVersion = "quote \" backslash \\ slash /";
    const char controls[] = "controls \x01\x1f\n\t\r and NUL \0 inside";
    s.productName = std::string(controls, sizeof controls - 1);
    s.vendorName = "Vendeur spécial ✓ 𝄞";
    s.serialNumber = "";
    s.colorTerminal = true;
    s.key = INT32_MIN;
    s.options = { { "", "" }, { "a\"b", "c\\d" }, { "~DCTZ", "50" } };
    s.timeZones = { { INT32_MIN, "x" }, { -1, "" }, { 0, "y" }, { INT32_MAX, "z" } };
    s.groupNumbers = { { -7, INT32_MAX }, { 101, 0 } };
    s.unlockCombination = { INT32_MIN, -1, 0, 1, 2, INT32_MAX };
    for (const TerminalState& state : { TerminalState {}, s }) {
        std::string text = "left over from before";
        appendStateJson(state, text);
        SCOPED_TRACE(text);
        const auto parsed = nlohmann::json::parse(text);
        EXPECT_EQ(parsed, toJson(state));
        EXPECT_EQ(stateFromJson(parsed), state);
        EXPECT_EQ(text.find('\n'), std::string::npos) << "one line";
    }
}

TEST(StateFile, MembersLeftOutKeepTheirDefaults)
{
    TempDir dir;
    writeFile(dir / "state.json", R"({"colorTerminal": true, "timeZones": {"50": "x"}})");
    const TerminalState s = StateFile((dir / "state.json").string()).load();
    EXPECT_TRUE(s.colorTerminal);
    EXPECT_EQ(s.timeZones.at(50), "x");
    EXPECT_EQ(s.options.at("~DeviceName"), "K3X");
}

TEST(StateFile, ABrokenFileIsRefusedAndLeftAlone)
{
    const std::vector<std::pair<const char*, const char*>> rows {
        { "not JSON", "{\"key\": " },
        { "an array", "[1, 2]" },
        { "unknown member", R"({"colourTerminal": true})" },
        { "key as text", R"({"key": "5"})" },
        { "key beyond 32 bits", R"({"key": 4294967296})" },
        { "key with a fraction", R"({"key": 1.5})" },
        { "option value a number", R"({"options": {"a": 1}})" },
        { "time zone index not a number", R"({"timeZones": {"fifty": "x"}})" },
        { "five unlock numbers", R"({"unlockCombination": [1, 1, 0, 0, 0]})" },
        { "group number as text", R"({"groupNumbers": {"101": "0"}})" },
        { "invalid UTF-8", "{\"vendorName\": \"\xff\"}" },
    };
    for (const auto& [name, text] : rows) {
        SCOPED_TRACE(name);
        TempDir dir;
        writeFile(dir / "state.json", text);
        EXPECT_THROW(StateFile((dir / "state.json").string()).load(), std::runtime_error);
        EXPECT_EQ(readFile(dir / "state.json"), text);
    }
}

// The protocol's limits hold for what the file brings in too: a text it could
// not carry would only fail when first read, and a table past its bound would
// let the file grow without end.
TEST(StateFile, TextsAndTablesPastTheLimitsAreRefusedNamingTheMember)
{
    const std::string tooLong = "\"" + std::string(4097, 'x') + "\"";
    const std::string longest = "\"" + std::string(4096, 'x') + "\"";
    const auto manyOptions = [](int n, std::size_t valueSize) {
        std::string text = R"({"options": {)";
        for (int i = 0; i < n; ++i) {
            text += (i ? "," : "") + ("\"o" + std::to_string(i) + "\":\"") + std::string(valueSize, 'v') + "\"";
        }
        return text + "}}";
    };
    const auto manyOf = [](const char* member, int n, const char* value) {
        std::string text = std::string("{\"") + member + "\": {";
        for (int i = 0; i < n; ++i) {
            text += (i ? ",\"" : "\"") + std::to_string(i) + "\":" + value;
        }
        return text + "}}";
    };
    struct Row {
        const char* name;
        std::string text;
        const char* member; // empty: the file loads
    };
    const std::vector<Row> rows {
        { "identity text at the limit", "{\"vendorName\": " + longest + "}", "" },
        { "identity text past it", "{\"serialNumber\": " + tooLong + "}", "serialNumber" },
        { "option value past it", "{\"options\": {\"Big\": " + tooLong + "}}", "Big" },
        { "option name past it", "{\"options\": {" + tooLong + ": \"1\"}}", "options" },
        { "time zone text past it", "{\"timeZones\": {\"50\": " + tooLong + "}}", "50" },
        { "as many options as the table holds", manyOptions(256, 1), "" },
        { "one option more", manyOptions(257, 1), "options" },
        { "options past the total size", manyOptions(9, 4000), "options" },
        { "too many time zones", manyOf("timeZones", 257, "\"\""), "timeZones" },
        { "too many groups", manyOf("groupNumbers", 257, "0"), "groupNumbers" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        writeFile(dir / "state.json", row.text);
        const StateFile file((dir / "state.json").string());
        if (*row.member == '\0') {
            EXPECT_NO_THROW(file.load());
            continue;
        }
        try {
            file.load();
            ADD_FAILURE() << "loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("\"") + row.member + "\""), std::string::npos) << e.what();
        }
        EXPECT_EQ(readFile(dir / "state.json"), row.text);
    }
}

// The file holds the key: a new one is private, a chmod is kept across saves,
// and a read-only file is refused rather than replaced.
TEST(StateFile, TheFileModeIsKeptAndANewFileIsPrivate)
{
    const auto modeOf = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; };
    TempDir dir;
    const auto path = dir / "state.json";
    StateFile((path).string()).load();
    EXPECT_EQ(modeOf(path), fs::perms::owner_read | fs::perms::owner_write);

    for (const auto mode : { fs::perms::owner_read | fs::perms::owner_write,
             fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write }) {
        fs::permissions(path, mode);
        const StateFile file(path.string());
        TerminalState s = file.load();
        s.colorTerminal = !s.colorTerminal;
        file.save(s);
        EXPECT_EQ(modeOf(path), mode);
        EXPECT_EQ(file.load(), s);
    }

    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = readFile(path);
    try {
        StateFile(path.string()).load();
        ADD_FAILURE() << "a read-only file was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("read-only"), std::string::npos) << e.what();
    }
    EXPECT_EQ(readFile(path), before);
}

TEST(StateFile, SavingIntoAMissingFolderFailsCleanly)
{
    TempDir dir;
    EXPECT_THROW(StateFile((dir / "no/such/state.json").string()).save({}), std::runtime_error);
}

TEST(Lockout, FiveFailuresWithinAMinuteLockTheAddressForThirtySeconds)
{
    Lockout lockout;
    const auto t0 = Lockout::Clock::time_point {} + 1h;
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(lockout.recordFailure("10.0.0.1", t0 + i * 10s));
    }
    EXPECT_EQ(lockout.check("10.0.0.1", t0 + 45s).remaining, 0s);
    EXPECT_TRUE(lockout.recordFailure("10.0.0.1", t0 + 50s));
    EXPECT_EQ(lockout.check("10.0.0.1", t0 + 50s).remaining, 30s);
    EXPECT_EQ(lockout.check("10.0.0.1", t0 + 79s).remaining, 1s);
    EXPECT_EQ(lockout.check("10.0.0.2", t0 + 60s).remaining, 0s); // per address
    EXPECT_EQ(lockout.check("10.0.0.1", t0 + 80s).remaining, 0s);
    // The lockout wiped the count: one more failure does not lock again.
    EXPECT_FALSE(lockout.recordFailure("10.0.0.1", t0 + 81s));
}

TEST(Lockout, FailuresOlderThanTheWindowAreForgotten)
{
    Lockout lockout;
    const auto t0 = Lockout::Clock::time_point {} + 1h;
    for (int i = 0; i < 4; ++i) {
        lockout.recordFailure("a", t0 + i * 1s);
    }
    // The first failure is exactly a minute old by now and no longer counts.
    EXPECT_FALSE(lockout.recordFailure("a", t0 + 60s));
    EXPECT_TRUE(lockout.recordFailure("a", t0 + 60500ms));
}

// A guesser that changes its source address for every try meets the
// terminal-wide budget instead: then every address is refused, even one that
// never failed, and the lockout ends on its own.
TEST(Lockout, FailuresFromManyAddressesLockTheWholeTerminal)
{
    Lockout::Policy policy;
    policy.terminalFailures = 10;
    policy.terminalLockFor = 60s;
    Lockout lockout(policy);
    const auto t0 = Lockout::Clock::time_point {} + 1h;
    for (int i = 0; i < 9; ++i) {
        EXPECT_FALSE(lockout.recordFailure("10.0.0." + std::to_string(i), t0 + i * 1s));
    }
    // Failures from a minute ago no longer count towards the budget.
    EXPECT_FALSE(lockout.recordFailure("10.0.1.1", t0 + 60s));
    EXPECT_FALSE(lockout.check("10.0.2.1", t0 + 60s));
    EXPECT_TRUE(lockout.recordFailure("10.0.1.2", t0 + 60s));
    const auto state = lockout.check("10.0.2.1", t0 + 61s);
    EXPECT_TRUE(state.terminalWide);
    EXPECT_EQ(state.remaining, 59s);
    EXPECT_EQ(lockout.check("10.0.2.1", t0 + 120s).remaining, 0s);
    // The per-address rule still holds on its own.
    for (int i = 0; i < 5; ++i) {
        lockout.recordFailure("10.0.3.1", t0 + 200s);
    }
    EXPECT_FALSE(lockout.check("10.0.3.1", t0 + 200s).terminalWide);
    EXPECT_EQ(lockout.check("10.0.3.1", t0 + 200s).remaining, 30s);
    EXPECT_EQ(lockout.check("10.0.3.2", t0 + 200s).remaining, 0s);
}

TEST(TermsimOptions, ParsesTheCommandLine)
{
    const auto o = parseTermsimOptions(
        { "--listen", "127.0.1.9", "--port=4371", "--state", "s.json", "--journal", "j.jsonl", "--key", "-5",
            "--restart-ms", "0", "--fail", "WriteOption=false", "--fail", "ReadOption=hang", "--no-sync" });
    EXPECT_EQ(o.listen, "127.0.1.9");
    EXPECT_EQ(o.port, 4371);
    EXPECT_EQ(o.stateFile, "s.json");
    EXPECT_EQ(o.journalFile, "j.jsonl");
    EXPECT_EQ(o.key, -5);
    EXPECT_EQ(o.restartMs, 0);
    ASSERT_EQ(o.fails.size(), 2u);
    EXPECT_EQ(o.fails[1].action, FaultRule::Action::Hang);
    EXPECT_FALSE(o.sync);

    const auto defaults = parseTermsimOptions({ "--listen", "127.0.0.1", "--state", "s" });
    EXPECT_EQ(defaults.port, 4370);
    EXPECT_EQ(defaults.restartMs, 500);
    EXPECT_FALSE(defaults.key.has_value());
    EXPECT_TRUE(defaults.sync);
}

TEST(TermsimOptions, RefusesWhatItCannotUse)
{
    const std::vector<std::vector<std::string>> rows {
        { "--state", "s" },
        { "--listen", "127.0.0.1" },
        { "--listen", "::1", "--state", "s" },
        { "--listen", "localhost", "--state", "s" },
        { "--listen", "127.1", "--state", "s" },
        { "--listen", "127.0.0.1", "--state", "s", "--port", "65536" },
        { "--listen", "127.0.0.1", "--state", "s", "--key", "2147483648" },
        { "--listen", "127.0.0.1", "--state", "s", "--key", "12a" },
        { "--listen", "127.0.0.1", "--state", "s", "--restart-ms", "-1" },
        { "--listen", "127.0.0.1", "--state", "s", "--max-connections", "0" },
        { "--listen", "127.0.0.1", "--state", "s", "--terminal-failures", "0" },
        { "--listen", "127.0.0.1", "--state", "s", "--fail", "Nope=false" },
        { "--listen", "127.0.0.1", "--state", "s", "--bogus" },
        { "--listen", "127.0.0.1", "--state" },
        { "--listen", "127.0.1.1", "--count", "3", "--state", "s" },
        { "--listen", "127.0.1.1", "--state", "s", "--state-dir", "d" },
        { "--listen", "127.0.1.1", "--count", "0", "--state-dir", "d" },
        { "--listen", "127.0.1.1", "--count", "2", "--state-dir", "d", "--port", "0" },
        { "--listen", "255.255.255.255", "--count", "2", "--state-dir", "d" },
        { "--listen", "127.0.1.1", "--count", "2", "--state-dir", "d", "--fail", "127.0.1.3@WriteOption=false" },
        { "--listen", "127.0.1.1", "--state-dir", "d", "--latency-ms", "-1" },
    };
    for (const auto& row : rows) {
        std::string joined;
        for (const auto& a : row) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        EXPECT_THROW(parseTermsimOptions(row), std::invalid_argument);
    }
}

TEST(TermsimOptions, AnUnreadableStateFileStopsTheStartWithAReason)
{
    TempDir dir;
    writeFile(dir / "state.json", "garbage");
    TermsimOptions o;
    o.listen = "127.0.1.250";
    o.stateFile = (dir / "state.json").string();
    std::ostringstream out, err;
    EXPECT_EQ(runTermsim(o, out, err), 1);
    EXPECT_NE(err.str().find("state.json"), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(readFile(dir / "state.json"), "garbage");
}
