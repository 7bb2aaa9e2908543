#pragma once

#include "Registry.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

struct sqlite3;

// HKEY_LOCAL_MACHINE as an SQLite file (layout in docs/settings.md). One
// object is one connection's life; the store makes one per bracket.
//
// Reads open the file read-only, so they need no write access and never create
// it. The first operation that writes (createKey, setValue, or a handle with
// full access) reopens it for writing, creating the file and its folder when
// it can; a file that cannot be written makes those operations fail with
// kErrorAccessDenied. A file that is not a database, or whose tables are not
// ours, fails every operation with kErrorBadDb and is never written.
class SqliteRegistry final : public Registry {
public:
    // How long a write waits for another program's transaction to finish.
    static constexpr int kBusyTimeoutMs = 5000;

    explicit SqliteRegistry(std::filesystem::path databasePath);
    ~SqliteRegistry() override;

    RegistryKey& localMachine() override;
    RegStatus createKey(RegistryKey& parent, const std::string& subKey, RegAccess access,
        std::unique_ptr<RegistryKey>& result) override;
    RegStatus openKey(RegistryKey& parent, const std::string& subKey, RegAccess access,
        std::unique_ptr<RegistryKey>& result) override;
    RegStatus setValue(RegistryKey& key, const std::string& name, RegType type, std::string_view data) override;
    RegStatus queryValue(
        RegistryKey& key, const std::string& name, RegType& type, std::size_t& size, std::string* data) override;
    RegStatus closeKey(std::unique_ptr<RegistryKey> key) override;

private:
    class Key;

    static int retryWhileBusy(void* self, int attempts);
    Key* ownKey(RegistryKey& key) const;
    RegStatus connectForReading();
    RegStatus connectForWriting();
    void disconnect();
    RegStatus storedPath(const std::string& path, std::string& stored);

    std::filesystem::path m_path;
    std::unique_ptr<Key> m_root;
    sqlite3* m_db = nullptr;
    bool m_writable = false;
    // A database without any table yet reads as an empty registry.
    bool m_hasTables = false;
    std::chrono::steady_clock::time_point m_busySince;
};
