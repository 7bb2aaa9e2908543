#include "SettingsStore.h"

#include "SettingsTestSupport.h"
#include "SqliteRegistry.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace settings_test;

namespace {

const std::string kZoneText = "00002359000023590000235900002359000023590000235900002359";
constexpr auto kChildLimit = std::chrono::seconds(60);

// "" when the call returns, else the error's text.
std::string errorOf(const std::function<void()>& call, std::string* detail = nullptr)
{
    try {
        call();
    } catch (const StoreError& e) {
        if (detail)
            *detail = e.detail();
        return e.what();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return {};
}

std::string readOnce(SettingsStore& store, const std::string& ident, const std::string& fallback = "default")
{
    SettingsBracket bracket(store, kSettingsPath);
    return store.ReadSetting(kSettingsSection, ident, fallback);
}

class SettingsStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path file = dir.path() / "hklm.db";
    SettingsStore store { file };
};

TEST_F(SettingsStoreTest, FirstRunReadsDefaultsAndCreatesNothing)
{
    SettingsStore nested(dir.path() / "missing" / "hklm.db");
    {
        SettingsBracket bracket(nested, kSettingsPath);
        EXPECT_EQ(kZoneText, nested.ReadSetting(kSettingsSection, "50", kZoneText));
        EXPECT_EQ("0", nested.ReadSetting(kSettingsSection, "TZ49", "0"));
        EXPECT_FALSE(nested.readProblem()); // no store yet is no problem
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));

    // A store that exists but holds no section: reading adds no key.
    SetTZIntoReg(store, "50", kZoneText);
    sql(file, "DELETE FROM vals; DELETE FROM keys WHERE path <> 'SOFTWARE'");
    EXPECT_EQ("default", readOnce(store, "50"));
    EXPECT_EQ(std::vector<std::string> { "SOFTWARE" }, sql(file, "SELECT path FROM keys"));
}

TEST_F(SettingsStoreTest, WrittenValuesReadBackInAnyCaseAndAreStoredAsZeroTerminatedRegSz)
{
    SettingsStore nested(dir.path() / "new" / "folder" / "hklm.db");
    SetTZIntoReg(nested, "TZ49", "1");
    SetTZIntoReg(nested, "50", "first");
    SetTZIntoReg(nested, "50", kZoneText);
    {
        SettingsBracket bracket(nested, "software");
        EXPECT_EQ("1", nested.ReadSetting("TERVALO", "tz49", "0"));
        EXPECT_EQ(kZoneText, nested.ReadSetting("tervalo", "50", ""));
    }
    // The text's bytes and one zero byte, as a blob.
    EXPECT_EQ((std::vector<std::string> { "SOFTWARE\\Tervalo|50|1|blob|1", "SOFTWARE\\Tervalo|TZ49|1|blob|1" }),
        sql(nested.databasePath(),
            "SELECT key, name, type, typeof(data), data = CAST(CASE name WHEN 'TZ49' THEN '1' ELSE '" + kZoneText
                + "' END || char(0) AS BLOB) FROM vals ORDER BY name"));
}

TEST_F(SettingsStoreTest, StoredValuesReadAsTextOrRaiseTheirError)
{
    SetTZIntoReg(store, "seed", "");
    struct Row {
        const char* name;
        const char* type; // SQL
        const char* data; // SQL
        const char* text;
        const char* error;
    };
    const Row rows[] = {
        { "REG_SZ", "1", "x'3132333400'", "1234", nullptr },
        { "REG_SZ without its zero", "1", "x'313233'", "123", nullptr },
        { "REG_EXPAND_SZ is not expanded", "2", "CAST('%SystemRoot%' || char(0) AS BLOB)", "%SystemRoot%", nullptr },
        { "cut at the first zero", "1", "x'610062630000'", "a", nullptr },
        { "leading zero", "1", "x'0061'", "", nullptr },
        { "size zero", "1", "x''", "", nullptr },
        { "size zero REG_EXPAND_SZ", "2", "x''", "", nullptr },
        { "typed in with sqlite3 as text", "1", "'0800'", "0800", nullptr },
        { "REG_DWORD", "4", "x'01000000'", nullptr, "Invalid data type for '50'" },
        { "REG_BINARY", "3", "x'3100'", nullptr, "Invalid data type for '50'" },
        { "REG_NONE of size zero", "0", "x''", nullptr, "Invalid data type for '50'" },
        { "type that is no number", "'sz'", "x'3100'", nullptr, "Failed to get data for '50'" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sql(file,
            std::string("INSERT OR REPLACE INTO vals VALUES('SOFTWARE\\Tervalo', '50', ") + row.type + ", " + row.data
                + ")");
        std::string text;
        EXPECT_EQ(row.error ? row.error : "", errorOf([&] { text = readOnce(store, "50"); }));
        if (row.text) {
            EXPECT_EQ(row.text, text);
        }
    }
}

// A store file this program may not write: as root the test drops to nobody,
// since root writes whatever the permissions say.
TEST_F(SettingsStoreTest, ReadOnlyFileIsReadButNotWritten)
{
    SetTZIntoReg(store, "50", kZoneText);
    std::filesystem::permissions(file, std::filesystem::perms(0644));
    const std::string before = readBytes(file);
    Child child(
        [&]() -> std::string {
            SettingsStore user(file);
            if (readOnce(user, "50") != kZoneText)
                return "the saved value was not read";
            SettingsBracket bracket(user, kSettingsPath);
            const std::string error = errorOf([&] { user.WriteSetting(kSettingsSection, "TZ49", "1"); });
            if (error != "Failed to create key Tervalo")
                return "write gave: " + error;
            if (user.ReadSetting(kSettingsSection, "50", "") != kZoneText)
                return "no read after the failed write";
            return {};
        },
        true);
    EXPECT_EQ("", child.finish(kChildLimit));
    EXPECT_EQ(before, readBytes(file));
}

TEST_F(SettingsStoreTest, FolderThatCannotBeWrittenGetsNoFile)
{
    const auto locked = dir.path() / "locked";
    std::filesystem::create_directory(locked);
    std::filesystem::permissions(locked, std::filesystem::perms(0755));
    Child child(
        [&]() -> std::string {
            SettingsStore user(locked / "hklm.db");
            const std::string error = errorOf([&] { SetTZIntoReg(user, "50", kZoneText); });
            if (error != "Failed to create key Tervalo")
                return "write gave: " + error;
            return readOnce(user, "50") == "default" ? "" : "no default";
        },
        true);
    EXPECT_EQ("", child.finish(kChildLimit));
    EXPECT_TRUE(std::filesystem::is_empty(locked));

    // A folder that cannot be made at all, whoever asks: its parent is a file.
    writeBytes(dir.path() / "plain", "not a folder");
    SettingsStore blocked(dir.path() / "plain" / "sub" / "hklm.db");
    EXPECT_EQ("Failed to create key Tervalo", errorOf([&] { SetTZIntoReg(blocked, "50", kZoneText); }));
    EXPECT_EQ("default", readOnce(blocked, "50"));
    EXPECT_EQ("not a folder", readBytes(dir.path() / "plain"));
}

TEST_F(SettingsStoreTest, FilesThatAreNotOursGiveDefaultsAndAreNeverWritten)
{
    const char* const kVals = "CREATE TABLE vals(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,"
                              " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name));";
    const char* const kKeys = "CREATE TABLE keys(path TEXT PRIMARY KEY COLLATE NOCASE);";
    const char* const kRow = "INSERT INTO vals VALUES('SOFTWARE\\Tervalo', '50', 1, x'3100');";
    struct Row {
        const char* name;
        std::string sql; // empty: garbage bytes instead of a database
    };
    const Row rows[] = {
        { "garbage", "" },
        { "someone else's tables", "CREATE TABLE notes(text TEXT);" },
        { "keys without NOCASE", std::string("CREATE TABLE keys(path TEXT PRIMARY KEY);") + kVals + kRow },
        { "vals without NOCASE names",
            std::string(kKeys)
                + "CREATE TABLE vals(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL, type INTEGER NOT NULL,"
                  " data BLOB NOT NULL, PRIMARY KEY(key, name));" },
        { "vals with text data",
            std::string(kKeys)
                + "CREATE TABLE vals(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,"
                  " type INTEGER NOT NULL, data TEXT NOT NULL, PRIMARY KEY(key, name));" },
        { "vals with an extra column",
            std::string(kKeys)
                + "CREATE TABLE vals(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,"
                  " type INTEGER NOT NULL, data BLOB NOT NULL, stamp INTEGER, PRIMARY KEY(key, name));" },
        { "keys only", kKeys },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove(file);
        if (row.sql.empty())
            writeBytes(file, std::string(4096, '\x5a'));
        else
            sql(file, row.sql);
        const std::string before = readBytes(file);
        EXPECT_EQ("default", readOnce(store, "50"));
        EXPECT_EQ(file.string() + ": not a settings database", store.readProblem().value_or("none"));
        std::string detail;
        EXPECT_EQ("Failed to create key Tervalo", errorOf([&] { SetTZIntoReg(store, "50", kZoneText); }, &detail));
        EXPECT_EQ(file.string() + ": not a settings database", detail);
        EXPECT_EQ(before, readBytes(file));
    }
}

TEST_F(SettingsStoreTest, TwoProgramsWritingAtOnceLoseNothing)
{
    constexpr int kEach = 200;
    auto writer = [&](const std::string& prefix) {
        return [&, prefix]() -> std::string {
            SettingsStore own(file);
            for (int i = 0; i < kEach; ++i)
                SetTZIntoReg(own, prefix + std::to_string(i), std::to_string(i));
            return {};
        };
    };
    Child first(writer("a"), false);
    Child second(writer("b"), false);
    EXPECT_EQ("", first.finish(kChildLimit));
    EXPECT_EQ("", second.finish(kChildLimit));

    EXPECT_EQ(std::vector<std::string> { std::to_string(2 * kEach) }, sql(file, "SELECT count(*) FROM vals"));
    EXPECT_EQ("199", readOnce(store, "a199"));
    EXPECT_EQ("0", readOnce(store, "B0"));
}

TEST_F(SettingsStoreTest, BracketsCloseEveryKeyAndTheStoreAlsoOnErrors)
{
    SetTZIntoReg(store, "50", kZoneText);
    sql(file, "INSERT INTO vals VALUES('SOFTWARE\\Tervalo', 'dword', 4, x'01000000')");
    struct Row {
        const char* name;
        Fault fault;
        const char* read; // the value read in a bracket; none: "50" is saved instead
        const char* error;
        const char* reason; // the error's second line after "<file>: "
        const char* stored; // "50" afterwards
    };
    const Row rows[] = {
        { "write", Fault::None, nullptr, "", nullptr, "written" },
        { "read of another type", Fault::None, "dword", "Invalid data type for 'dword'", nullptr, nullptr },
        { "section that cannot be created", Fault::CreateSection, nullptr, "Failed to create key Tervalo",
            "permission denied", "old" },
        // Not a silent skip: the caller must not report the value as saved.
        { "section that will not open", Fault::OpenSectionForWrite, nullptr, "Failed to create key Tervalo",
            "permission denied", "old" },
        { "value that cannot be set", Fault::SetValue, nullptr, "Failed to set data for '50'", "cannot be written",
            "old" },
        { "data that cannot be read", Fault::QueryData, "50", "Failed to get data for '50'", "cannot be read",
            nullptr },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetTZIntoReg(store, "50", "old");
        RegistryTally tally;
        SettingsStore counted(file, [&](const std::filesystem::path& path) {
            return std::make_unique<CountingRegistry>(std::make_unique<SqliteRegistry>(path), tally, row.fault);
        });
        std::string detail;
        EXPECT_EQ(row.error,
            errorOf(
                [&] {
                    if (!row.read)
                        return SetTZIntoReg(counted, "50", "written");
                    SettingsBracket bracket(counted, kSettingsPath);
                    counted.ReadSetting(kSettingsSection, row.read, "");
                },
                &detail));
        EXPECT_EQ(row.reason ? file.string() + ": " + row.reason : "", detail);
        EXPECT_EQ(0, tally.liveRegistries);
        EXPECT_EQ(0, tally.openKeys);
        if (row.stored) {
            EXPECT_EQ(row.stored, readOnce(store, "50"));
        }
    }
}

} // namespace
