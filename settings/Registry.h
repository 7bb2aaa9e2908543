#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The five registry operations the settings store needs, in their byte-string
// form. The store sees only this interface: on Linux an SQLite file stands in
// for HKEY_LOCAL_MACHINE (SqliteRegistry); a Windows build can put the real
// registry behind it and pass the platform's results through unchanged.

// Results use the platform's LONG codes, so both back ends speak one language.
using RegStatus = long;
inline constexpr RegStatus kErrorSuccess = 0;
inline constexpr RegStatus kErrorFileNotFound = 2;
inline constexpr RegStatus kErrorAccessDenied = 5;
inline constexpr RegStatus kErrorInvalidHandle = 6;
inline constexpr RegStatus kErrorInvalidParameter = 87;
inline constexpr RegStatus kErrorBadPathname = 161;
inline constexpr RegStatus kErrorBusy = 170;
inline constexpr RegStatus kErrorBadDb = 1009;
inline constexpr RegStatus kErrorCantOpen = 1011;
inline constexpr RegStatus kErrorCantRead = 1012;
inline constexpr RegStatus kErrorCantWrite = 1013;
inline constexpr RegStatus kErrorKeyDeleted = 1018;

// Value types, with the registry's numbers (they are what the file stores).
using RegType = std::uint32_t;
inline constexpr RegType kRegSz = 1;
inline constexpr RegType kRegExpandSz = 2;
inline constexpr RegType kRegBinary = 3;
inline constexpr RegType kRegDword = 4;

// KEY_READ or KEY_ALL_ACCESS: the two kinds of handle the store asks for.
enum class RegAccess { Read, AllAccess };

// An open key. Each back end derives its own; handles belong to the Registry
// that gave them out and must be closed through it.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

protected:
    RegistryKey() = default;
};

class Registry {
public:
    virtual ~Registry() = default;

    // HKEY_LOCAL_MACHINE: owned by the registry, never closed.
    virtual RegistryKey& localMachine() = 0;

    // RegCreateKeyEx: opens `subKey` below `parent`, creating it and every
    // missing key on the way. Paths are backslash-separated and compared
    // without regard to case.
    virtual RegStatus createKey(
        RegistryKey& parent, const std::string& subKey, RegAccess access, std::unique_ptr<RegistryKey>& result)
        = 0;
    // RegOpenKeyEx: opens an existing key; kErrorFileNotFound when there is none.
    virtual RegStatus openKey(
        RegistryKey& parent, const std::string& subKey, RegAccess access, std::unique_ptr<RegistryKey>& result)
        = 0;
    // RegSetValueEx: stores `data` as is under `name`, replacing any earlier value.
    virtual RegStatus setValue(RegistryKey& key, const std::string& name, RegType type, std::string_view data) = 0;
    // RegQueryValueEx: always the type and the size in bytes; the bytes too
    // when `data` is given. kErrorFileNotFound when there is no such value.
    virtual RegStatus queryValue(
        RegistryKey& key, const std::string& name, RegType& type, std::size_t& size, std::string* data)
        = 0;
    // RegCloseKey.
    virtual RegStatus closeKey(std::unique_ptr<RegistryKey> key) = 0;

protected:
    Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
};
