#pragma once

#include "Registry.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace settings_test {

// A fresh folder under the system's temp folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

std::string readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::string& bytes);

// Runs SQL on the file the way someone with the sqlite3 shell would; returns
// every row, columns joined by '|'. Throws with SQLite's message on failure.
std::vector<std::string> sql(const std::filesystem::path& file, const std::string& statements);

// Passes every call through to a real registry, counting what is open, and
// fails the one operation a test names.
enum class Fault { None, CreateSection, OpenSectionForWrite, SetValue, QueryData };

struct RegistryTally {
    int liveRegistries = 0;
    int openKeys = 0;
};

class CountingRegistry final : public Registry {
public:
    CountingRegistry(std::unique_ptr<Registry> inner, RegistryTally& tally, Fault fault);
    ~CountingRegistry() override;
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
    std::unique_ptr<Registry> m_inner;
    RegistryTally& m_tally;
    Fault m_fault;
};

// Runs `body` in a child process; its result is "" for success or what went
// wrong. With `unprivileged` a root test drops to the user nobody first, so
// file permissions bind it as they bind an ordinary user.
class Child {
public:
    Child(const std::function<std::string()>& body, bool unprivileged);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Waits at most `limit`; a child still running then is killed.
    std::string finish(std::chrono::seconds limit);

private:
    pid_t m_pid = -1;
    int m_fd = -1;
};

} // namespace settings_test
