#include "SqliteRegistry.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr const char* kSchema
    = "CREATE TABLE IF NOT EXISTS keys(path TEXT PRIMARY KEY COLLATE NOCASE);"
      "CREATE TABLE IF NOT EXISTS vals(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,"
      " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name));";

// Finalised on every path, so no statement keeps a lock on the file.
class Statement {
public:
    Statement(sqlite3* db, const char* sql)
        : m_rc(sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr))
    {
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int prepareResult() const { return m_rc; }
    // The bound bytes must outlive step(): no copy is taken.
    void bindText(int index, std::string_view text)
    {
        sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), nullptr);
    }
    void bindBlob(int index, std::string_view bytes)
    {
        // An empty blob bound from a null pointer would be NULL, which the schema refuses.
        if (bytes.empty())
            sqlite3_bind_zeroblob(m_stmt, index, 0);
        else
            sqlite3_bind_blob(m_stmt, index, bytes.data(), static_cast<int>(bytes.size()), nullptr);
    }
    void bindInt(int index, sqlite3_int64 value) { sqlite3_bind_int64(m_stmt, index, value); }
    int step() { return m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc; }
    sqlite3_stmt* get() const { return m_stmt; }
    std::string text(int column) const
    {
        const auto* p = sqlite3_column_text(m_stmt, column);
        return p ? std::string(
                   reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)))
                 : std::string();
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc;
};

int exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

RegStatus statusOf(int rc, RegStatus otherwise)
{
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return kErrorSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return kErrorBusy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return kErrorAccessDenied;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_SCHEMA:
        return kErrorBadDb;
    case SQLITE_CANTOPEN:
        return kErrorCantOpen;
    default:
        return otherwise;
    }
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

enum class Schema { Empty, Ours, Foreign, Unreadable };

struct Column {
    const char* name;
    const char* type;
    int notNull;
    int pk;
};

constexpr std::array<Column, 1> kKeysColumns { { { "path", "TEXT", 0, 1 } } };
constexpr std::array<Column, 4> kValsColumns { { { "key", "TEXT", 1, 1 }, { "name", "TEXT", 1, 2 },
    { "type", "INTEGER", 1, 0 }, { "data", "BLOB", 1, 0 } } };

template <std::size_t N>
Schema checkTable(sqlite3* db, const char* table, const std::array<Column, N>& expected, int& rc)
{
    Statement columns(db, "SELECT name, type, \"notnull\", pk FROM pragma_table_info(?1) ORDER BY cid");
    columns.bindText(1, table);
    std::size_t count = 0;
    while ((rc = columns.step()) == SQLITE_ROW) {
        if (count == N)
            return Schema::Foreign;
        const Column& want = expected[count++];
        if (!equalsNoCase(columns.text(0), want.name) || !equalsNoCase(columns.text(1), want.type)
            || sqlite3_column_int(columns.get(), 2) != want.notNull || sqlite3_column_int(columns.get(), 3) != want.pk)
            return Schema::Foreign;
    }
    if (rc != SQLITE_DONE)
        return Schema::Unreadable;
    rc = SQLITE_OK;
    if (count != N)
        return Schema::Foreign;

    // Names must match without regard to case, and the key must say so too,
    // or two spellings of one name could be stored side by side.
    Statement index(db, "SELECT name FROM pragma_index_list(?1) WHERE origin = 'pk'");
    index.bindText(1, table);
    rc = index.step();
    if (rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE)
            return Schema::Unreadable;
        rc = SQLITE_OK;
        return Schema::Foreign;
    }
    const std::string indexName = index.text(0);
    Statement collations(db, "SELECT coll FROM pragma_index_xinfo(?1) WHERE key = 1");
    collations.bindText(1, indexName);
    int keyColumns = 0;
    while ((rc = collations.step()) == SQLITE_ROW) {
        if (!equalsNoCase(collations.text(0), "NOCASE"))
            return Schema::Foreign;
        ++keyColumns;
    }
    if (rc != SQLITE_DONE)
        return Schema::Unreadable;
    rc = SQLITE_OK;
    const auto pkColumns = std::count_if(expected.begin(), expected.end(), [](const Column& c) { return c.pk > 0; });
    return keyColumns == pkColumns ? Schema::Ours : Schema::Foreign;
}

// Only an empty file or our own two tables are ours to use: anything else is
// someone else's database and is left alone.
// rc is SQLITE_OK unless the answer is Unreadable.
Schema checkSchema(sqlite3* db, int& rc)
{
    {
        Statement objects(db, "SELECT count(*) FROM sqlite_master");
        rc = objects.step();
        if (rc != SQLITE_ROW)
            return Schema::Unreadable;
        rc = SQLITE_OK;
        if (sqlite3_column_int(objects.get(), 0) == 0)
            return Schema::Empty;
    }
    Schema schema = checkTable(db, "keys", kKeysColumns, rc);
    if (schema == Schema::Ours)
        schema = checkTable(db, "vals", kValsColumns, rc);
    if (schema != Schema::Unreadable)
        rc = SQLITE_OK;
    return schema;
}

// The same check under one read lock instead of one per query, so it gets in
// between another program's writes at the first try.
Schema checkSchemaAtOnce(sqlite3* db, int& rc)
{
    rc = exec(db, "BEGIN");
    if (rc != SQLITE_OK)
        return Schema::Unreadable;
    const Schema schema = checkSchema(db, rc);
    exec(db, schema == Schema::Unreadable ? "ROLLBACK" : "COMMIT");
    return schema;
}

// Splits "A\B\C"; one trailing backslash is allowed, empty parts are not.
bool splitPath(std::string_view path, std::vector<std::string>& parts)
{
    parts.clear();
    if (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    if (path.empty())
        return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('\\', start);
        const std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty())
            return false;
        parts.emplace_back(part);
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

std::string joinPath(const std::string& parent, const std::string& child)
{
    return parent.empty() ? child : parent + '\\' + child;
}

// A new file or folder is durable only once the folder holding it is synced.
void syncDirectory(const std::filesystem::path& dir)
{
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A setgid folder (the package's /var/lib/latchwise) shares the store with its
// group, so a new file must be group-writable whatever the creator's umask:
// SQLite gives its journal the file's mode, and a 0644 file would shut every
// other member out. Elsewhere the umask decides, as for any other file.
void createSharedFile(const std::filesystem::path& file, const std::filesystem::path& folder)
{
    struct stat info { };
    if (::stat(folder.empty() ? "." : folder.c_str(), &info) != 0 || (info.st_mode & S_ISGID) == 0)
        return;
    // The umask would narrow the mode given to open(), so it is set after.
    constexpr mode_t kShared = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH;
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kShared);
    if (fd < 0)
        return; // another program made it first, or SQLite will report why not
    ::fchmod(fd, kShared);
    ::close(fd);
}

} // namespace

class SqliteRegistry::Key final : public RegistryKey {
public:
    Key(const SqliteRegistry* owner, std::string path, RegAccess access)
        : owner(owner)
        , path(std::move(path))
        , access(access)
    {
    }

    const SqliteRegistry* owner;
    std::string path; // "" is the root
    RegAccess access;
};

SqliteRegistry::SqliteRegistry(std::filesystem::path databasePath)
    : m_path(std::move(databasePath))
    , m_root(std::make_unique<Key>(this, std::string(), RegAccess::AllAccess))
{
}

SqliteRegistry::~SqliteRegistry()
{
    disconnect();
}

// SQLite's own busy timeout backs off to sleeps of 100 ms, so two programs
// saving at once would spend most of their time asleep: retry after a
// millisecond instead, up to the same bound.
int SqliteRegistry::retryWhileBusy(void* self, int attempts)
{
    auto& registry = *static_cast<SqliteRegistry*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (attempts == 0)
        registry.m_busySince = now;
    if (now - registry.m_busySince >= std::chrono::milliseconds(kBusyTimeoutMs))
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}

RegistryKey& SqliteRegistry::localMachine()
{
    return *m_root;
}

SqliteRegistry::Key* SqliteRegistry::ownKey(RegistryKey& key) const
{
    auto* own = dynamic_cast<Key*>(&key);
    return own && own->owner == this ? own : nullptr;
}

void SqliteRegistry::disconnect()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_writable = false;
    m_hasTables = false;
}

RegStatus SqliteRegistry::connectForReading()
{
    if (m_db)
        return kErrorSuccess;
    std::error_code ec;
    if (!std::filesystem::exists(m_path, ec))
        return ec ? kErrorCantOpen : kErrorFileNotFound;

    int rc = sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        disconnect();
        return statusOf(rc, kErrorCantOpen);
    }
    sqlite3_busy_handler(m_db, &SqliteRegistry::retryWhileBusy, this);
    switch (checkSchemaAtOnce(m_db, rc)) {
    case Schema::Empty:
        return kErrorSuccess;
    case Schema::Ours:
        m_hasTables = true;
        return kErrorSuccess;
    case Schema::Foreign:
        disconnect();
        return kErrorBadDb;
    case Schema::Unreadable:
        break;
    }
    disconnect();
    return statusOf(rc, kErrorCantRead);
}

RegStatus SqliteRegistry::connectForWriting()
{
    if (m_db && m_writable)
        return kErrorSuccess;
    disconnect();

    std::error_code ec;
    const bool existed = std::filesystem::exists(m_path, ec);
    if (ec)
        return kErrorCantOpen;
    const std::filesystem::path folder = m_path.parent_path();
    std::vector<std::filesystem::path> newFolders;
    if (!existed) {
        for (auto dir = folder; !dir.empty() && !std::filesystem::exists(dir, ec); dir = dir.parent_path()) {
            newFolders.push_back(dir);
            if (dir == dir.parent_path())
                break;
        }
        if (!folder.empty() && !std::filesystem::create_directories(folder, ec) && ec)
            return kErrorAccessDenied;
        createSharedFile(m_path, folder);
    }

    int rc = sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        disconnect();
        return statusOf(rc, kErrorCantOpen);
    }
    // SQLite falls back to reading when the file may not be written.
    if (sqlite3_db_readonly(m_db, "main") != 0) {
        disconnect();
        return kErrorAccessDenied;
    }
    sqlite3_busy_handler(m_db, &SqliteRegistry::retryWhileBusy, this);
    // A commit that returned has reached the disk: journal and file are synced.
    exec(m_db, "PRAGMA synchronous=FULL");

    Schema schema = checkSchemaAtOnce(m_db, rc);
    if (schema == Schema::Empty) {
        // Under the write lock, so two first writers do not both create tables.
        rc = exec(m_db, "BEGIN IMMEDIATE");
        if (rc == SQLITE_OK) {
            schema = checkSchema(m_db, rc);
            if (schema == Schema::Empty)
                rc = exec(m_db, kSchema);
            if (rc == SQLITE_OK && schema != Schema::Foreign)
                rc = exec(m_db, "COMMIT");
            if (rc != SQLITE_OK || schema == Schema::Foreign)
                exec(m_db, "ROLLBACK");
            if (rc == SQLITE_OK && schema == Schema::Empty)
                schema = Schema::Ours;
        }
        if (rc != SQLITE_OK && schema != Schema::Foreign) {
            disconnect();
            return statusOf(rc, kErrorCantWrite);
        }
    }
    if (schema == Schema::Foreign) {
        disconnect();
        return kErrorBadDb;
    }
    if (schema != Schema::Ours) {
        disconnect();
        return statusOf(rc, kErrorCantRead);
    }

    // Readers without write access cannot open a WAL file whose side files are
    // gone, so a file someone switched to WAL goes back to a rollback journal.
    {
        Statement mode(m_db, "PRAGMA journal_mode");
        if (mode.step() == SQLITE_ROW && equalsNoCase(mode.text(0), "wal")) {
            Statement reset(m_db, "PRAGMA journal_mode=DELETE");
            reset.step();
        }
    }

    if (!existed) {
        syncDirectory(folder);
        for (const auto& dir : newFolders)
            syncDirectory(dir.parent_path());
    }
    m_writable = true;
    m_hasTables = true;
    return kErrorSuccess;
}

RegStatus SqliteRegistry::storedPath(const std::string& path, std::string& stored)
{
    Statement find(m_db, "SELECT path FROM keys WHERE path = ?1");
    find.bindText(1, path);
    const int rc = find.step();
    if (rc == SQLITE_ROW) {
        stored = find.text(0);
        return kErrorSuccess;
    }
    return rc == SQLITE_DONE ? kErrorFileNotFound : statusOf(rc, kErrorCantRead);
}

RegStatus SqliteRegistry::createKey(
    RegistryKey& parent, const std::string& subKey, RegAccess access, std::unique_ptr<RegistryKey>& result)
{
    result.reset();
    Key* base = ownKey(parent);
    if (!base)
        return kErrorInvalidHandle;
    if (base->access != RegAccess::AllAccess)
        return kErrorAccessDenied;
    std::vector<std::string> parts;
    if (!splitPath(subKey, parts))
        return kErrorBadPathname;
    if (RegStatus status = connectForWriting(); status != kErrorSuccess)
        return status;
    if (parts.empty()) {
        result = std::make_unique<Key>(this, base->path, access);
        return kErrorSuccess;
    }

    std::string path = base->path;
    for (const auto& part : parts)
        path = joinPath(path, part);
    std::string stored;
    // The usual case, a key that is there, takes no write lock.
    if (storedPath(path, stored) == kErrorSuccess) {
        result = std::make_unique<Key>(this, std::move(stored), access);
        return kErrorSuccess;
    }

    int rc = exec(m_db, "BEGIN IMMEDIATE");
    path = base->path;
    for (std::size_t i = 0; rc == SQLITE_OK && i < parts.size(); ++i) {
        path = joinPath(path, parts[i]);
        Statement insert(m_db, "INSERT OR IGNORE INTO keys(path) VALUES(?1)");
        insert.bindText(1, path);
        rc = insert.step();
        if (rc == SQLITE_DONE)
            rc = SQLITE_OK;
    }
    if (rc == SQLITE_OK)
        rc = exec(m_db, "COMMIT");
    if (rc != SQLITE_OK) {
        exec(m_db, "ROLLBACK");
        return statusOf(rc, kErrorCantWrite);
    }
    if (RegStatus status = storedPath(path, stored); status != kErrorSuccess)
        return status;
    result = std::make_unique<Key>(this, std::move(stored), access);
    return kErrorSuccess;
}

RegStatus SqliteRegistry::openKey(
    RegistryKey& parent, const std::string& subKey, RegAccess access, std::unique_ptr<RegistryKey>& result)
{
    result.reset();
    Key* base = ownKey(parent);
    if (!base)
        return kErrorInvalidHandle;
    std::vector<std::string> parts;
    if (!splitPath(subKey, parts))
        return kErrorBadPathname;
    const RegStatus connected = access == RegAccess::AllAccess ? connectForWriting() : connectForReading();
    if (connected != kErrorSuccess)
        return connected;
    if (parts.empty()) {
        result = std::make_unique<Key>(this, base->path, access);
        return kErrorSuccess;
    }
    if (!m_hasTables)
        return kErrorFileNotFound;
    std::string path = base->path;
    for (const auto& part : parts)
        path = joinPath(path, part);
    std::string stored;
    if (RegStatus status = storedPath(path, stored); status != kErrorSuccess)
        return status;
    result = std::make_unique<Key>(this, std::move(stored), access);
    return kErrorSuccess;
}

RegStatus SqliteRegistry::setValue(RegistryKey& key, const std::string& name, RegType type, std::string_view data)
{
    Key* own = ownKey(key);
    if (!own)
        return kErrorInvalidHandle;
    // The root holds keys only, as on the platform.
    if (own->access != RegAccess::AllAccess || own->path.empty())
        return kErrorAccessDenied;
    if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return kErrorInvalidParameter;
    if (RegStatus status = connectForWriting(); status != kErrorSuccess)
        return status;

    int rc = exec(m_db, "BEGIN IMMEDIATE");
    RegStatus status = kErrorSuccess;
    if (rc == SQLITE_OK) {
        std::string stored;
        status = storedPath(own->path, stored);
        if (status == kErrorFileNotFound)
            status = kErrorKeyDeleted;
    }
    if (rc == SQLITE_OK && status == kErrorSuccess) {
        // An update keeps the name as first spelt, as the platform does.
        Statement upsert(m_db,
            "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
            " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
        upsert.bindText(1, own->path);
        upsert.bindText(2, name);
        upsert.bindInt(3, type);
        upsert.bindBlob(4, data);
        rc = upsert.step();
        if (rc == SQLITE_DONE)
            rc = exec(m_db, "COMMIT");
    }
    if (rc != SQLITE_OK || status != kErrorSuccess) {
        exec(m_db, "ROLLBACK");
        return status != kErrorSuccess ? status : statusOf(rc, kErrorCantWrite);
    }
    return kErrorSuccess;
}

RegStatus SqliteRegistry::queryValue(
    RegistryKey& key, const std::string& name, RegType& type, std::size_t& size, std::string* data)
{
    Key* own = ownKey(key);
    if (!own)
        return kErrorInvalidHandle;
    if (RegStatus status = connectForReading(); status != kErrorSuccess)
        return status;
    if (!m_hasTables)
        return kErrorFileNotFound;

    Statement select(m_db, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2");
    select.bindText(1, own->path);
    select.bindText(2, name);
    const int rc = select.step();
    if (rc == SQLITE_DONE)
        return kErrorFileNotFound;
    if (rc != SQLITE_ROW)
        return statusOf(rc, kErrorCantRead);

    // Rows edited by hand may hold anything; only what the schema means is read.
    const sqlite3_int64 storedType = sqlite3_column_int64(select.get(), 0);
    if (sqlite3_column_type(select.get(), 0) != SQLITE_INTEGER || storedType < 0
        || storedType > std::numeric_limits<RegType>::max())
        return kErrorBadDb;
    const int dataType = sqlite3_column_type(select.get(), 1);
    if (dataType != SQLITE_BLOB && dataType != SQLITE_TEXT)
        return kErrorBadDb;
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(select.get(), 1));
    const auto length = static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 1));

    type = static_cast<RegType>(storedType);
    size = length;
    if (data)
        data->assign(bytes ? bytes : "", bytes ? length : 0);
    return kErrorSuccess;
}

RegStatus SqliteRegistry::closeKey(std::unique_ptr<RegistryKey> key)
{
    // The root is ours for the registry's whole life, whoever tries to close it.
    if (key && key.get() == m_root.get()) {
        (void)key.release();
        return kErrorInvalidHandle;
    }
    return key && ownKey(*key) ? kErrorSuccess : kErrorInvalidHandle;
}
