#include "SettingsStore.h"

#include "Registry.h"
#include "SqliteRegistry.h"

#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace {

std::unique_ptr<Registry> openSqliteRegistry(const std::filesystem::path& databasePath)
{
    return std::make_unique<SqliteRegistry>(databasePath);
}

// Closes a section key on every way out of a read or a write.
class SectionKey {
public:
    explicit SectionKey(Registry& registry)
        : m_registry(registry)
    {
    }
    ~SectionKey()
    {
        if (key)
            m_registry.closeKey(std::move(key));
    }
    SectionKey(const SectionKey&) = delete;
    SectionKey& operator=(const SectionKey&) = delete;

    std::unique_ptr<RegistryKey> key;

private:
    Registry& m_registry;
};

} // namespace

SettingsStore::SettingsStore(std::filesystem::path databasePath)
    : SettingsStore(std::move(databasePath), openSqliteRegistry)
{
}

SettingsStore::SettingsStore(std::filesystem::path databasePath, RegistryFactory factory)
    : m_databasePath(std::move(databasePath))
    , m_factory(std::move(factory))
{
}

SettingsStore::~SettingsStore()
{
    CloseSettings();
}

void SettingsStore::OpenSettingsKey(const std::string& path)
{
    CloseSettings();
    m_registry = m_factory(m_databasePath);
    if (!m_registry)
        return;
    m_keyPath = path;
    std::unique_ptr<RegistryKey> key;
    if (m_registry->openKey(m_registry->localMachine(), path, RegAccess::Read, key) == kErrorSuccess)
        m_key = std::move(key);
}

RegistryKey* SettingsStore::writableKey()
{
    if (!m_writableKey && m_registry) {
        std::unique_ptr<RegistryKey> key;
        if (m_registry->createKey(m_registry->localMachine(), m_keyPath, RegAccess::AllAccess, key) == kErrorSuccess)
            m_writableKey = std::move(key);
    }
    return m_writableKey.get();
}

void SettingsStore::WriteSetting(const std::string& section, const std::string& ident, const std::string& value)
{
    RegistryKey* parent = writableKey();
    if (!parent)
        throw std::runtime_error("Failed to create key " + section);

    SectionKey created(*m_registry);
    if (m_registry->createKey(*parent, section, RegAccess::AllAccess, created.key) != kErrorSuccess)
        throw std::runtime_error("Failed to create key " + section);
    m_registry->closeKey(std::move(created.key));

    // A section that exists but will not open is passed over in silence, as
    // the platform's own store does.
    SectionKey opened(*m_registry);
    if (m_registry->openKey(*parent, section, RegAccess::AllAccess, opened.key) != kErrorSuccess)
        return;
    std::string data = value;
    data.push_back('\0');
    if (m_registry->setValue(*opened.key, ident, kRegSz, data) != kErrorSuccess)
        throw std::runtime_error("Failed to set data for '" + ident + "'");
}

std::string SettingsStore::ReadSetting(
    const std::string& section, const std::string& ident, const std::string& defaultValue)
{
    RegistryKey* parent = m_writableKey ? m_writableKey.get() : m_key.get();
    if (!parent)
        return defaultValue;
    SectionKey opened(*m_registry);
    if (m_registry->openKey(*parent, section, RegAccess::Read, opened.key) != kErrorSuccess)
        return defaultValue;

    RegType type = 0;
    std::size_t size = 0;
    const RegStatus found = m_registry->queryValue(*opened.key, ident, type, size, nullptr);
    if (found == kErrorFileNotFound)
        return defaultValue;
    if (found != kErrorSuccess)
        throw std::runtime_error("Failed to get data for '" + ident + "'");
    if (type != kRegSz && type != kRegExpandSz)
        throw std::runtime_error("Invalid data type for '" + ident + "'");
    if (size == 0)
        return {};

    std::string data;
    if (m_registry->queryValue(*opened.key, ident, type, size, &data) != kErrorSuccess)
        throw std::runtime_error("Failed to get data for '" + ident + "'");
    // The text ends at its first zero byte, whatever follows it.
    if (const auto end = data.find('\0'); end != std::string::npos)
        data.resize(end);
    return data;
}

void SettingsStore::closeKey(std::unique_ptr<RegistryKey>& key)
{
    if (key && m_registry)
        m_registry->closeKey(std::move(key));
    key.reset();
}

void SettingsStore::CloseSettings()
{
    closeKey(m_writableKey);
    closeKey(m_key);
    m_registry.reset();
    m_keyPath.clear();
}

SettingsBracket::SettingsBracket(SettingsStore& store, const std::string& path)
    : m_store(store)
{
    m_store.OpenSettingsKey(path);
}

SettingsBracket::~SettingsBracket()
{
    m_store.CloseSettings();
}

void SetTZIntoReg(SettingsStore& store, const std::string& ident, const std::string& value)
{
    SettingsBracket bracket(store, kSettingsPath);
    store.WriteSetting(kSettingsSection, ident, value);
}

std::filesystem::path settingsDatabasePath()
{
    const char* fromEnvironment = std::getenv("LATCHWISE_HKLM");
    if (fromEnvironment && *fromEnvironment)
        return fromEnvironment;
    return "/var/lib/latchwise/hklm.db";
}
