#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

class Registry;
class RegistryKey;

// A store failure: what() is the store's own text ("Failed to create key
// Tervalo"); detail() says which file and why ("/var/lib/latchwise/hklm.db:
// database is locked"), or is empty when the registry gave no reason.
class StoreError : public std::runtime_error {
public:
    StoreError(const std::string& message, std::string detail)
        : std::runtime_error(message)
        , m_detail(std::move(detail))
    {
    }
    const std::string& detail() const { return m_detail; }

private:
    std::string m_detail;
};

// The machine-wide settings store: four operations over the registry layer.
// One object per process; each use is a bracket OpenSettingsKey ... CloseSettings
// (see SettingsBracket). Texts are byte strings (UTF-8). Errors are raised as
// std::runtime_error with the store's own texts.
class SettingsStore {
public:
    // Makes the registry object of one bracket; the default opens the SQLite
    // stand-in at the given path. Tests pass their own to inject faults.
    using RegistryFactory = std::function<std::unique_ptr<Registry>(const std::filesystem::path&)>;

    explicit SettingsStore(std::filesystem::path databasePath);
    SettingsStore(std::filesystem::path databasePath, RegistryFactory factory);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // Opens `path` below HKEY_LOCAL_MACHINE. A failure throws nothing: reads
    // then return their defaults (readProblem() says why) and writes fail. Opening creates nothing, so a
    // bracket that only reads needs no write access and leaves no file behind;
    // the first write of the bracket creates `path` when missing, with full
    // access, where the store may be written.
    void OpenSettingsKey(const std::string& path);
    // Throws StoreError "Failed to create key %s" / "Failed to set data for '%s'".
    void WriteSetting(const std::string& section, const std::string& ident, const std::string& value);
    // Throws StoreError "Invalid data type for '%s'" / "Failed to get data for '%s'".
    std::string ReadSetting(const std::string& section, const std::string& ident, const std::string& defaultValue);
    void CloseSettings();

    // Throws StoreError "Failed to create key <section>", its detail()
    // "<file>: <reason>", when a WriteSetting(section, ...) under `path` would
    // fail now.
    // Opens for writing as a save does (so it may create the file and the key)
    // but stores no value. Runs its own bracket.
    void ensureWritable(const std::string& path, const std::string& section);

    // Why the reads of the current (or last) bracket fell back to their
    // defaults although a store exists, as "<file>: <reason>"; nullopt when
    // they did not, or when there is simply no store yet.
    const std::optional<std::string>& readProblem() const { return m_readProblem; }

    const std::filesystem::path& databasePath() const { return m_databasePath; }

private:
    RegistryKey* writableKey();
    void closeKey(std::unique_ptr<RegistryKey>& key);
    std::string detailFor(long status) const;
    [[noreturn]] void fail(const std::string& message, long status) const;
    void noteReadFailure(long status);

    std::filesystem::path m_databasePath;
    RegistryFactory m_factory;
    std::unique_ptr<Registry> m_registry;
    std::string m_keyPath;
    // The bracket's key as opened for reading, and with full access once written.
    std::unique_ptr<RegistryKey> m_key;
    std::unique_ptr<RegistryKey> m_writableKey;
    long m_writeStatus = 0; // why the writable key could not be had
    std::optional<std::string> m_readProblem;
};

// Opens the store on construction and always closes it on destruction.
class SettingsBracket {
public:
    SettingsBracket(SettingsStore& store, const std::string& path);
    ~SettingsBracket();
    SettingsBracket(const SettingsBracket&) = delete;
    SettingsBracket& operator=(const SettingsBracket&) = delete;

private:
    SettingsStore& m_store;
};

inline constexpr const char* kSettingsPath = "SOFTWARE";
inline constexpr const char* kSettingsSection = "Tervalo";

// Saves one value under SOFTWARE\Tervalo in a bracket of its own.
void SetTZIntoReg(SettingsStore& store, const std::string& ident, const std::string& value);

// $LATCHWISE_HKLM when set and not empty, else /var/lib/latchwise/hklm.db.
std::filesystem::path settingsDatabasePath();
