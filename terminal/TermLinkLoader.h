#pragma once

#include "ITermLink.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Creates the control object. Throws std::runtime_error with the reason when
// the control cannot be created.
using TermLinkFactory = std::function<std::unique_ptr<ITermLinkObject>()>;

inline constexpr const char* kTermLinkLibraryName = "libtermlink.so";

// Loads `library` with dlopen and creates the object through its exported
// factory. The library stays loaded for the rest of the process, since the
// object's code lives in it.
std::unique_ptr<ITermLinkObject> createTermLinkFromLibrary(const std::filesystem::path& library);

// Where the program looks for the control: next to the executable, then in the
// install's private folder (lib/latchwise beside the bin folder), then in its
// lib folder.
std::vector<std::filesystem::path> termLinkSearchPaths(const std::filesystem::path& executableDir);

// The production factory: the first candidate that exists is loaded; when none
// does, the reason names the first.
TermLinkFactory libraryTermLinkFactory(const std::filesystem::path& executableDir);
