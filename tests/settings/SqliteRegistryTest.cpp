#include "SqliteRegistry.h"

#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

using namespace settings_test;

namespace {

TEST(SqliteRegistry, CreatingAKeyCreatesItsParentsAndNamesMatchInAnyCase)
{
    TempDir dir;
    const auto file = dir.path() / "hklm.db";
    SqliteRegistry registry(file);
    std::unique_ptr<RegistryKey> key;
    // Looking for a key in a missing file does not create the file.
    EXPECT_EQ(kErrorFileNotFound, registry.openKey(registry.localMachine(), "SOFTWARE", RegAccess::Read, key));
    EXPECT_FALSE(std::filesystem::exists(file));

    ASSERT_EQ(kErrorSuccess,
        registry.createKey(registry.localMachine(), "SOFTWARE\\Tervalo\\Deep", RegAccess::AllAccess, key));
    ASSERT_EQ(kErrorSuccess, registry.createKey(registry.localMachine(), "software\\TERVALO", RegAccess::Read, key));
    EXPECT_EQ((std::vector<std::string> { "SOFTWARE", "SOFTWARE\\Tervalo", "SOFTWARE\\Tervalo\\Deep" }),
        sql(file, "SELECT path FROM keys ORDER BY path"));
    EXPECT_EQ(kErrorFileNotFound, registry.openKey(registry.localMachine(), "SOFTWARE\\Other", RegAccess::Read, key));
    std::unique_ptr<RegistryKey> readable;
    ASSERT_EQ(
        kErrorSuccess, registry.openKey(registry.localMachine(), "software\\tervalo\\DEEP", RegAccess::Read, readable));
    // A handle opened for reading neither stores values nor makes keys.
    EXPECT_EQ(kErrorAccessDenied, registry.setValue(*readable, "v", kRegSz, std::string_view("x", 2)));
    EXPECT_EQ(kErrorAccessDenied, registry.createKey(*readable, "Sub", RegAccess::AllAccess, key));
    EXPECT_EQ(kErrorBadPathname, registry.createKey(registry.localMachine(), "\\A", RegAccess::AllAccess, key));
}

TEST(SqliteRegistry, FileHoldsExactlyTheDocumentedSchemaWithARollbackJournal)
{
    TempDir dir;
    const auto file = dir.path() / "hklm.db";
    std::unique_ptr<RegistryKey> key;
    SqliteRegistry registry(file);
    ASSERT_EQ(kErrorSuccess, registry.createKey(registry.localMachine(), "SOFTWARE", RegAccess::AllAccess, key));
    EXPECT_EQ((std::vector<std::string> { "keys|CREATE TABLE keys(path TEXT PRIMARY KEY COLLATE NOCASE)",
                  "vals|CREATE TABLE vals(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,"
                  " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name))" }),
        sql(file, "SELECT name, sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY name"));
    EXPECT_EQ(std::vector<std::string> { "delete" }, sql(file, "PRAGMA journal_mode"));
}

} // namespace
