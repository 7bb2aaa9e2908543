#include "TermLinkLoader.h"

#include "TCTermLink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string errorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no error>";
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : m_name(name)
    {
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() { ::unsetenv(m_name); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
};

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "latchwise-loader-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

bool works(std::unique_ptr<ITermLinkObject> object)
{
    TCTermLink link(std::move(object));
    std::u16string version;
    link.ReadSdkVersion(version);
    return link.isBound();
}

} // namespace

TEST(TermLinkLoader, CreatesTheControlFromALibrary)
{
    auto object = createTermLinkFromLibrary(RECORDING_MODULE);
    ASSERT_NE(object, nullptr);
    EXPECT_TRUE(works(std::move(object)));
    // The library stays loaded: a second control can be made from it.
    EXPECT_TRUE(works(createTermLinkFromLibrary(RECORDING_MODULE)));
}

TEST(TermLinkLoader, ReasonsWhenNoControlCanBeCreated)
{
    TempDir dir;
    const fs::path missing = dir.path() / "libtermlink.so";
    const fs::path notALibrary = dir.path() / "libnotelf.so";
    std::ofstream(notALibrary) << "not an ELF file\n";

    struct Row {
        const char* name;
        fs::path library;
        std::vector<std::string> reasonHas;
    };
    const Row rows[] = {
        { "missing library", missing, { missing.string(), "No such file" } },
        { "not a library", notALibrary, { notALibrary.string() } },
        { "no factory", NOFACTORY_MODULE, { "libtermlink_nofactory.so", "has no factory latchwise_create_termlink" } },
        { "factory fails silently", SILENTFAIL_MODULE, { "The terminal control could not be created (80070005)" } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string reason = errorOf([&] { createTermLinkFromLibrary(row.library); });
        EXPECT_NE(reason, "<no error>");
        for (const std::string& part : row.reasonHas)
            EXPECT_NE(reason.find(part), std::string::npos) << reason;
    }
}

TEST(TermLinkLoader, FailingFactoryGivesItsOwnReason)
{
    ScopedEnv fail("LATCHWISE_RECORDING_FAIL", "Class not registered");
    EXPECT_EQ(errorOf([] { createTermLinkFromLibrary(RECORDING_MODULE); }), "Class not registered");
}

TEST(TermLinkLoader, SearchesBesideTheExecutableThenThePrivateThenTheSharedLib)
{
    const auto paths = termLinkSearchPaths("/usr/bin");
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], fs::path("/usr/bin/libtermlink.so"));
    EXPECT_EQ(paths[1], fs::path("/usr/lib/latchwise/libtermlink.so"));
    EXPECT_EQ(paths[2], fs::path("/usr/lib/libtermlink.so"));
}

TEST(TermLinkLoader, ProductionFactoryTakesTheFirstLibraryThatExists)
{
    TempDir dir;
    const fs::path bin = dir.path() / "bin";
    const fs::path lib = dir.path() / "lib";
    fs::create_directories(bin);
    fs::create_directories(lib);
    const TermLinkFactory factory = libraryTermLinkFactory(bin);

    // None there: the reason names the place beside the executable.
    const std::string reason = errorOf([&] { factory(); });
    EXPECT_NE(reason.find((bin / "libtermlink.so").string()), std::string::npos) << reason;

    fs::create_symlink(RECORDING_MODULE, lib / "libtermlink.so");
    EXPECT_TRUE(works(factory()));

    // The one beside the executable comes first, even when it fails.
    fs::create_symlink(SILENTFAIL_MODULE, bin / "libtermlink.so");
    EXPECT_EQ(errorOf([&] { factory(); }), "The terminal control could not be created (80070005)");
}
