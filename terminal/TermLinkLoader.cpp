#include "TermLinkLoader.h"

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <stdexcept>

std::unique_ptr<ITermLinkObject> createTermLinkFromLibrary(const std::filesystem::path& library)
{
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        throw std::runtime_error(reason ? reason : ("Cannot load " + library.string()));
    }
    dlerror();
    void* symbol = dlsym(handle, kTermLinkFactorySymbol);
    if (!symbol) {
        dlclose(handle);
        throw std::runtime_error(library.filename().string() + " has no factory " + kTermLinkFactorySymbol);
    }
    auto create = reinterpret_cast<LatchwiseCreateTermLinkFn>(symbol);
    std::array<char, 512> reason {};
    ITermLinkObject* raw = nullptr;
    const HResult hr = create(&raw, reason.data(), reason.size());
    std::unique_ptr<ITermLinkObject> object(raw);
    if (failed(hr) || !object) {
        reason.back() = '\0';
        std::string text = reason.data();
        if (text.empty()) {
            char code[16];
            std::snprintf(code, sizeof code, "%.8x", static_cast<unsigned>(hr));
            text = "The terminal control could not be created (" + std::string(code) + ")";
        }
        throw std::runtime_error(text);
    }
    // The handle is deliberately never closed: the object's code lives there.
    return object;
}

std::vector<std::filesystem::path> termLinkSearchPaths(const std::filesystem::path& executableDir)
{
    // The install's private folder before the shared lib folder, where a
    // library of the same name from another package must not win.
    return { executableDir / kTermLinkLibraryName,
        executableDir.parent_path() / "lib" / "latchwise" / kTermLinkLibraryName,
        executableDir.parent_path() / "lib" / kTermLinkLibraryName };
}

TermLinkFactory libraryTermLinkFactory(const std::filesystem::path& executableDir)
{
    return [executableDir]() {
        const auto candidates = termLinkSearchPaths(executableDir);
        for (const auto& candidate : candidates) {
            std::error_code ec;
            if (std::filesystem::exists(candidate, ec))
                return createTermLinkFromLibrary(candidate);
        }
        return createTermLinkFromLibrary(candidates.front());
    };
}
