// The check an Update makes before it touches the terminal: the schedule is
// saved in the middle of the programming, so a store that cannot take it
// would leave a terminal half-programmed.
#include "SettingsStore.h"

#include "Registry.h"
#include "StoreReasons.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

bool inGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// When the group of `place` may write it and this user is not in that group,
// joining it is the fix (the package's /var/lib/latchwise belongs to "latchwise").
std::string groupHint(const std::filesystem::path& place)
{
    struct stat info { };
    if (::stat(place.c_str(), &info) != 0 || (info.st_mode & S_IWGRP) == 0 || inGroup(info.st_gid))
        return {};
    const group* owner = ::getgrgid(info.st_gid);
    if (!owner)
        return {};
    return std::string(" \u2014 ask an administrator to add you to the group \"") + owner->gr_name + "\"";
}

std::string errnoReason(int error, const std::filesystem::path& place)
{
    if (error == EACCES || error == EPERM)
        return "permission denied" + groupHint(place);
    if (error == EROFS)
        return "read-only file system";
    std::string text = std::strerror(error);
    if (!text.empty())
        text.front() = static_cast<char>(std::tolower(static_cast<unsigned char>(text.front())));
    return text;
}

} // namespace

std::string deniedReason(const std::filesystem::path& file)
{
    std::error_code ec;
    auto folder = file.parent_path();
    if (folder.empty())
        folder = ".";
    if (std::filesystem::exists(file, ec)) {
        if (::access(file.c_str(), W_OK) != 0)
            return errnoReason(errno, file);
        if (::access(folder.c_str(), W_OK | X_OK) != 0)
            return errnoReason(errno, folder);
        return {};
    }
    while (!std::filesystem::exists(folder, ec) && folder.has_parent_path() && folder != folder.parent_path())
        folder = folder.parent_path();
    if (!std::filesystem::is_directory(folder, ec))
        return folder.string() + " is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return errnoReason(errno, folder);
    return {};
}

std::string statusReason(RegStatus status)
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

void SettingsStore::ensureWritable(const std::string& path, const std::string& section)
{
    RegStatus status = kErrorCantOpen;
    {
        SettingsBracket bracket(*this, path);
        if (m_registry) {
            // The two opens for writing that WriteSetting makes, without a value.
            std::unique_ptr<RegistryKey> parent;
            status = m_registry->createKey(m_registry->localMachine(), path, RegAccess::AllAccess, parent);
            if (status == kErrorSuccess) {
                std::unique_ptr<RegistryKey> key;
                status = m_registry->createKey(*parent, section, RegAccess::AllAccess, key);
                if (key)
                    m_registry->closeKey(std::move(key));
                m_registry->closeKey(std::move(parent));
            }
        }
    }
    // A file that takes keys may still lack a folder for its journal.
    std::string reason = deniedReason(m_databasePath);
    if (status == kErrorSuccess && reason.empty())
        return;
    if (reason.empty())
        reason = statusReason(status);
    throw StoreError("Failed to create key " + section, m_databasePath.string() + ": " + reason);
}
