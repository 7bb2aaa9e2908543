#pragma once

#include <filesystem>
#include <string>

// Words for why the store could not be used, for the second line of a store
// error ("<file>: <reason>").

// The registry's code as a reason ("database is locked", "permission denied").
std::string statusReason(long status);

// What the file system says against writing `file`: the file itself, the
// folder that takes its journal, or the nearest folder that would take a new
// file, with the group to join where that is the fix. Empty when nothing
// stands in the way.
std::string deniedReason(const std::filesystem::path& file);
