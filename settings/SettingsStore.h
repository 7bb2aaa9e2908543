#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class Registry;
class RegistryKey;

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

    // Opens `path` below HKEY_LOCAL_MACHINE. A failure is not reported: reads
    // then return their defaults and writes fail. Opening creates nothing, so a
    // bracket that only reads needs no write access and leaves no file behind;
    // the first write of the bracket creates `path` when missing, with full
    // access, where the store may be written.
    void OpenSettingsKey(const std::string& path);
    // Throws "Failed to create key %s" / "Failed to set data for '%s'".
    void WriteSetting(const std::string& section, const std::string& ident, const std::string& value);
    // Throws "Invalid data type for '%s'" / "Failed to get data for '%s'".
    std::string ReadSetting(const std::string& section, const std::string& ident, const std::string& defaultValue);
    void CloseSettings();

    // Throws "Failed to create key <section>." with "<file>: <reason>" on a
    // second line when a WriteSetting(section, ...) under `path` would fail now.
    // Opens for writing as a save does (so it may create the file and the key)
    // but stores no value. Runs its own bracket.
    void ensureWritable(const std::string& path, const std::string& section);

    const std::filesystem::path& databasePath() const { return m_databasePath; }

private:
    RegistryKey* writableKey();
    void closeKey(std::unique_ptr<RegistryKey>& key);

    std::filesystem::path m_databasePath;
    RegistryFactory m_factory;
    std::unique_ptr<Registry> m_registry;
    std::string m_keyPath;
    // The bracket's key as opened for reading, and with full access once written.
    std::unique_ptr<RegistryKey> m_key;
    std::unique_ptr<RegistryKey> m_writableKey;
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
