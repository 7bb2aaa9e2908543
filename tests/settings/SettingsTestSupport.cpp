#include "SettingsTestSupport.h"

#include <sqlite3.h>

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace settings_test {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "latchwise-settings-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    // The unprivileged children must be able to look inside.
    std::filesystem::permissions(m_path, std::filesystem::perms(0755));
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string readBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

void writeBytes(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary) << bytes;
}

std::vector<std::string> sql(const std::filesystem::path& file, const std::string& statements)
{
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(nullptr, sqlite3_close);
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open(file.c_str(), &raw);
    db.reset(raw);
    std::vector<std::string> rows;
    auto collect = [](void* out, int columns, char** values, char**) {
        std::string row;
        for (int i = 0; i < columns; ++i)
            row += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
        static_cast<std::vector<std::string>*>(out)->push_back(row);
        return 0;
    };
    if (opened != SQLITE_OK || sqlite3_exec(raw, statements.c_str(), collect, &rows, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(raw));
    return rows;
}

CountingRegistry::CountingRegistry(std::unique_ptr<Registry> inner, RegistryTally& tally, Fault fault)
    : m_inner(std::move(inner))
    , m_tally(tally)
    , m_fault(fault)
{
    ++m_tally.liveRegistries;
}

CountingRegistry::~CountingRegistry()
{
    --m_tally.liveRegistries;
}

RegistryKey& CountingRegistry::localMachine()
{
    return m_inner->localMachine();
}

RegStatus CountingRegistry::createKey(
    RegistryKey& parent, const std::string& subKey, RegAccess access, std::unique_ptr<RegistryKey>& result)
{
    if (m_fault == Fault::CreateSection && &parent != &localMachine())
        return kErrorAccessDenied;
    const RegStatus status = m_inner->createKey(parent, subKey, access, result);
    m_tally.openKeys += status == kErrorSuccess;
    return status;
}

RegStatus CountingRegistry::openKey(
    RegistryKey& parent, const std::string& subKey, RegAccess access, std::unique_ptr<RegistryKey>& result)
{
    if (m_fault == Fault::OpenSectionForWrite && access == RegAccess::AllAccess && &parent != &localMachine())
        return kErrorAccessDenied;
    const RegStatus status = m_inner->openKey(parent, subKey, access, result);
    m_tally.openKeys += status == kErrorSuccess;
    return status;
}

RegStatus CountingRegistry::setValue(RegistryKey& key, const std::string& name, RegType type, std::string_view data)
{
    return m_fault == Fault::SetValue ? kErrorCantWrite : m_inner->setValue(key, name, type, data);
}

RegStatus CountingRegistry::queryValue(
    RegistryKey& key, const std::string& name, RegType& type, std::size_t& size, std::string* data)
{
    return m_fault == Fault::QueryData && data ? kErrorCantRead : m_inner->queryValue(key, name, type, size, data);
}

RegStatus CountingRegistry::closeKey(std::unique_ptr<RegistryKey> key)
{
    --m_tally.openKeys;
    return m_inner->closeKey(std::move(key));
}

Child::Child(const std::function<std::string()>& body, bool unprivileged)
{
    int fds[2];
    if (::pipe(fds) != 0 || (m_pid = ::fork()) < 0)
        throw std::runtime_error("cannot start a child");
    if (m_pid == 0) {
        ::close(fds[0]);
        std::string result;
        constexpr uid_t kNobody = 65534;
        if (unprivileged && ::geteuid() == 0
            && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            result = "cannot drop to the user nobody";
        // Keeps /proc/self readable for the sanitizers after the change of user.
        ::prctl(PR_SET_DUMPABLE, 1);
        if (result.empty()) {
            try {
                result = body();
            } catch (const std::exception& e) {
                result = std::string("unexpected error: ") + e.what();
            }
        }
        result = "done:" + result;
        [[maybe_unused]] auto written = ::write(fds[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    m_fd = fds[0];
}

Child::~Child()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::close(m_fd);
}

std::string Child::finish(std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string out;
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                  .count();
        pollfd ready { m_fd, POLLIN, 0 };
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0)
            return "child did not finish in time";
        char buffer[512];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    return out.rfind("done:", 0) == 0 ? out.substr(5) : "child ended without a result: " + out;
}

} // namespace settings_test
