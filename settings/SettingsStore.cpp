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

// Words for the registry's codes, for the second line of a store error.
std::string reasonText(RegStatus status)
{
    switch (status) {
    case kErrorFileNotFound:
        return "not found";
    case kErrorAccessDenied:
        return "permission denied";
    case kErrorBusy:
        return "database is locked";
    case kErrorBadDb:
        return "not a settings database";
    case kErrorCantOpen:
        return "cannot be opened";
    case kErrorCantRead:
        return "cannot be read";
    case kErrorCantWrite:
        return "cannot be written";
    default:
        return "error " + std::to_string(status);
    }
}

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
    m_readProblem.reset();
    m_registry = m_factory(m_databasePath);
    if (!m_registry)
        return;
    m_keyPath = path;
    std::unique_ptr<RegistryKey> key;
    const RegStatus status = m_registry->openKey(m_registry->localMachine(), path, RegAccess::Read, key);
    if (status == kErrorSuccess)
        m_key = std::move(key);
    else
        noteReadFailure(status);
}

RegistryKey* SettingsStore::writableKey()
{
    if (!m_writableKey && m_registry) {
        std::unique_ptr<RegistryKey> key;
        m_writeStatus = m_registry->createKey(m_registry->localMachine(), m_keyPath, RegAccess::AllAccess, key);
        if (m_writeStatus == kErrorSuccess)
            m_writableKey = std::move(key);
    }
    return m_writableKey.get();
}

std::string SettingsStore::detailFor(RegStatus status) const
{
    return m_databasePath.string() + ": " + reasonText(status);
}

void SettingsStore::fail(const std::string& message, RegStatus status) const
{
    throw StoreError(message, status == kErrorSuccess ? std::string() : detailFor(status));
}

void SettingsStore::noteReadFailure(RegStatus status)
{
    // No file or no key yet is the first run, not a problem worth a word.
    if (status != kErrorFileNotFound && !m_readProblem)
        m_readProblem = detailFor(status);
}

void SettingsStore::WriteSetting(const std::string& section, const std::string& ident, const std::string& value)
{
    RegistryKey* parent = writableKey();
    if (!parent)
        fail("Failed to create key " + section, m_registry ? m_writeStatus : kErrorCantOpen);

    SectionKey created(*m_registry);
    if (RegStatus status = m_registry->createKey(*parent, section, RegAccess::AllAccess, created.key);
        status != kErrorSuccess)
        fail("Failed to create key " + section, status);
    m_registry->closeKey(std::move(created.key));

    // A section that exists but will not open must not pass for a save.
    SectionKey opened(*m_registry);
    if (RegStatus status = m_registry->openKey(*parent, section, RegAccess::AllAccess, opened.key);
        status != kErrorSuccess)
        fail("Failed to create key " + section, status);
    std::string data = value;
    data.push_back('\0');
    if (RegStatus status = m_registry->setValue(*opened.key, ident, kRegSz, data); status != kErrorSuccess)
        fail("Failed to set data for '" + ident + "'", status);
}

std::string SettingsStore::ReadSetting(
    const std::string& section, const std::string& ident, const std::string& defaultValue)
{
    RegistryKey* parent = m_writableKey ? m_writableKey.get() : m_key.get();
    if (!parent)
        return defaultValue;
    SectionKey opened(*m_registry);
    if (RegStatus status = m_registry->openKey(*parent, section, RegAccess::Read, opened.key);
        status != kErrorSuccess) {
        noteReadFailure(status);
        return defaultValue;
    }

    RegType type = 0;
    std::size_t size = 0;
    const RegStatus found = m_registry->queryValue(*opened.key, ident, type, size, nullptr);
    if (found == kErrorFileNotFound)
        return defaultValue;
    if (found != kErrorSuccess)
        fail("Failed to get data for '" + ident + "'", found);
    if (type != kRegSz && type != kRegExpandSz)
        fail("Invalid data type for '" + ident + "'", kErrorSuccess);
    if (size == 0)
        return {};

    std::string data;
    if (RegStatus status = m_registry->queryValue(*opened.key, ident, type, size, &data); status != kErrorSuccess)
        fail("Failed to get data for '" + ident + "'", status);
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
