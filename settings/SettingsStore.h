#pragma once

#include <filesystem>
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
    explicit SettingsStore(std::filesystem::path databasePath);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // Opens `path` below HKEY_LOCAL_MACHINE, creating it when missing where the
    // store may be written. A failure is not reported: reads then return their
    // defaults and writes fail.
    void OpenSettingsKey(const std::string& path);
    // Throws "Failed to create key %s" / "Failed to set data for '%s'".
    void WriteSetting(const std::string& section, const std::string& ident, const std::string& value);
    // Throws "Invalid data type for '%s'" / "Failed to get data for '%s'".
    std::string ReadSetting(const std::string& section, const std::string& ident, const std::string& defaultValue);
    void CloseSettings();

    const std::filesystem::path& databasePath() const { return m_databasePath; }

private:
    std::filesystem::path m_databasePath;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<RegistryKey> m_key;
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
