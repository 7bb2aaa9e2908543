#include "TerminalState.h"

#include "Protocol.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace {

using nlohmann::json;

std::int32_t indexFromKey(const std::string& key, const char* member)
{
    std::size_t used = 0;
    long value = 0;
    try {
        value = std::stol(key, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != key.size() || value < INT32_MIN || value > INT32_MAX) {
        throw std::runtime_error(
            std::string("\"") + member + "\" has a key that is not a 32-bit integer: \"" + key + "\"");
    }
    return static_cast<std::int32_t>(value);
}

template <typename T> T member(const json& object, const char* name)
{
    try {
        return object.at(name).get<T>();
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("\"") + name + "\" has the wrong type (" + e.what() + ")");
    }
}

std::int32_t int32Of(const json& value, const char* name)
{
    if (!value.is_number_integer()) {
        throw std::runtime_error(std::string("\"") + name + "\" holds a value that is not an integer");
    }
    const auto wide = value.get<std::int64_t>();
    if (value.is_number_unsigned() ? value.get<std::uint64_t>() > INT32_MAX : (wide < INT32_MIN || wide > INT32_MAX)) {
        throw std::runtime_error(std::string("\"") + name + "\" holds a number outside 32 bits");
    }
    return static_cast<std::int32_t>(wide);
}

// "\"member\" " + what, built step by step: GCC 12's -Wrestrict misfires on
// "\"" + std::string&& at -O2.
std::runtime_error memberError(const std::string& member, const std::string& what)
{
    std::string message = "\"";
    message += member;
    message += "\" ";
    message += what;
    return std::runtime_error(message);
}

// The protocol carries no longer text, so the terminal holds none: a longer
// one would only fail when it is first read.
const std::string& checkedText(const std::string& text, const std::string& member)
{
    if (text.size() > proto::kMaxText) {
        throw memberError(member,
            "holds a text of " + std::to_string(text.size()) + " bytes, more than the "
                + std::to_string(proto::kMaxText) + " the protocol carries");
    }
    return text;
}

void checkCount(std::size_t count, std::size_t max, const char* member)
{
    if (count > max) {
        throw memberError(
            member, "holds " + std::to_string(count) + " entries, more than the terminal's " + std::to_string(max));
    }
}

[[noreturn]] void systemError(const std::string& what, const std::string& path)
{
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void appendText(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t plain = 0; // start of the run not yet copied
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            continue;
        }
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += '\\';
            out += text[i];
        }
    }
    out.append(text.substr(plain));
    out += '"';
}

void appendNumber(std::string& out, std::int32_t value)
{
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

template <typename Map, typename AppendValue> void appendObject(std::string& out, const Map& map, AppendValue&& value)
{
    out += '{';
    const char* separator = "";
    for (const auto& [key, item] : map) {
        out += separator;
        separator = ",";
        if constexpr (std::is_integral_v<typename Map::key_type>) {
            out += '"';
            appendNumber(out, key);
            out += '"';
        } else {
            appendText(out, key);
        }
        out += ':';
        value(item);
    }
    out += '}';
}

} // namespace

namespace {

// What the option table's bound counts: names and values together.
std::size_t optionBytes(const std::map<std::string, std::string>& options)
{
    std::size_t bytes = 0;
    for (const auto& [name, value] : options) {
        bytes += name.size() + value.size();
    }
    return bytes;
}

} // namespace

bool optionFits(const TerminalState& s, const std::string& name, const std::string& value)
{
    const auto held = s.options.find(name);
    const std::size_t replaced = held == s.options.end() ? 0 : held->first.size() + held->second.size();
    return optionBytes(s.options) - replaced + name.size() + value.size() <= kMaxOptionBytes
        && (s.options.size() < kMaxOptions || held != s.options.end());
}

json toJson(const TerminalState& s)
{
    json timeZones = json::object();
    for (const auto& [index, text] : s.timeZones) {
        timeZones[std::to_string(index)] = text;
    }
    json groups = json::object();
    for (const auto& [group, number] : s.groupNumbers) {
        groups[std::to_string(group)] = number;
    }
    return json { { "firmwareVersion", s.firmwareVersion }, { "productName", s.productName },
        { "vendorName", s.vendorName }, { "serialNumber", s.serialNumber }, { "colorTerminal", s.colorTerminal },
        { "key", s.key }, { "options", s.options }, { "timeZones", timeZones }, { "groupNumbers", groups },
        { "unlockCombination", s.unlockCombination } };
}

void appendStateJson(const TerminalState& s, std::string& out)
{
    out.clear();
    out += "{\"firmwareVersion\":";
    appendText(out, s.firmwareVersion);
    out += ",\"productName\":";
    appendText(out, s.productName);
    out += ",\"vendorName\":";
    appendText(out, s.vendorName);
    out += ",\"serialNumber\":";
    appendText(out, s.serialNumber);
    out += ",\"colorTerminal\":";
    out += s.colorTerminal ? "true" : "false";
    out += ",\"key\":";
    appendNumber(out, s.key);
    out += ",\"options\":";
    appendObject(out, s.options, [&out](const std::string& text) { appendText(out, text); });
    out += ",\"timeZones\":";
    appendObject(out, s.timeZones, [&out](const std::string& text) { appendText(out, text); });
    out += ",\"groupNumbers\":";
    appendObject(out, s.groupNumbers, [&out](std::int32_t number) { appendNumber(out, number); });
    out += ",\"unlockCombination\":[";
    const char* separator = "";
    for (const std::int32_t number : s.unlockCombination) {
        out += separator;
        separator = ",";
        appendNumber(out, number);
    }
    out += "]}";
}

TerminalState stateFromJson(const json& j)
{
    if (!j.is_object()) {
        throw std::runtime_error("the state is not a JSON object");
    }
    TerminalState s;
    for (const auto& [name, value] : j.items()) {
        if (name == "firmwareVersion") {
            s.firmwareVersion = checkedText(member<std::string>(j, "firmwareVersion"), name);
        } else if (name == "productName") {
            s.productName = checkedText(member<std::string>(j, "productName"), name);
        } else if (name == "vendorName") {
            s.vendorName = checkedText(member<std::string>(j, "vendorName"), name);
        } else if (name == "serialNumber") {
            s.serialNumber = checkedText(member<std::string>(j, "serialNumber"), name);
        } else if (name == "colorTerminal") {
            s.colorTerminal = member<bool>(j, "colorTerminal");
        } else if (name == "key") {
            s.key = int32Of(value, "key");
        } else if (name == "options") {
            s.options = member<std::map<std::string, std::string>>(j, "options");
            for (const auto& [option, text] : s.options) {
                checkedText(option, "options");
                checkedText(text, "options\" member \"" + option);
            }
            checkCount(s.options.size(), kMaxOptions, "options");
            if (const std::size_t bytes = optionBytes(s.options); bytes > kMaxOptionBytes) {
                throw memberError("options",
                    "hold " + std::to_string(bytes) + " bytes, more than the terminal's "
                        + std::to_string(kMaxOptionBytes));
            }
        } else if (name == "timeZones") {
            s.timeZones.clear();
            for (const auto& [index, text] : member<std::map<std::string, std::string>>(j, "timeZones")) {
                s.timeZones[indexFromKey(index, "timeZones")] = checkedText(text, "timeZones\" member \"" + index);
            }
            checkCount(s.timeZones.size(), kMaxTimeZones, "timeZones");
        } else if (name == "groupNumbers") {
            s.groupNumbers.clear();
            if (!value.is_object()) {
                throw std::runtime_error("\"groupNumbers\" is not an object");
            }
            for (const auto& [group, number] : value.items()) {
                s.groupNumbers[indexFromKey(group, "groupNumbers")] = int32Of(number, "groupNumbers");
            }
            checkCount(s.groupNumbers.size(), kMaxGroups, "groupNumbers");
        } else if (name == "unlockCombination") {
            if (!value.is_array() || value.size() != s.unlockCombination.size()) {
                throw std::runtime_error("\"unlockCombination\" is not an array of six integers");
            }
            for (std::size_t i = 0; i < s.unlockCombination.size(); ++i) {
                s.unlockCombination[i] = int32Of(value[i], "unlockCombination");
            }
        } else {
            throw std::runtime_error("unknown member \"" + name + "\"");
        }
    }
    return s;
}

namespace {

constexpr std::size_t kTempSuffixSize = 6;

// ".state.json.XXXXXX" beside "state.json": what save() makes.
bool isTemporaryOf(const std::filesystem::path& candidate, const std::filesystem::path& target)
{
    const std::string prefix = "." + target.filename().string() + ".";
    const std::string name = candidate.filename().string();
    return name.size() == prefix.size() + kTempSuffixSize && name.starts_with(prefix);
}

// Six letters or digits; distinct for every 32-bit value, since 62^6 > 2^32.
void appendTempSuffix(std::string& name, std::uint32_t value)
{
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    for (std::size_t i = 0; i < kTempSuffixSize; ++i) {
        name += kDigits[value % 62];
        value /= 62;
    }
}

} // namespace

StateFile::StateFile(std::string path, bool sync)
    : m_path(std::move(path))
    , m_sync(sync)
    // A random start keeps two runs from reaching for the same names.
    , m_tempCounter(std::random_device {}())
{
    m_umask = ::umask(0);
    ::umask(m_umask);
    const std::filesystem::path target(m_path);
    const std::filesystem::path dir = target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
    m_dir = dir.string();
    // Built step by step: GCC 12's -Wrestrict misfires on "." + std::string&& at -O2.
    std::string name = ".";
    name += target.filename().string();
    name += ".";
    m_tempPrefix = (dir / name).string();
}

TerminalState StateFile::load() const
{
    release();
    // A kill in the middle of a save leaves its temporary file behind; the
    // state itself is whole either way, so the leftover is only clutter.
    const std::filesystem::path target(m_path);
    std::error_code ec;
    const auto dir = target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (isTemporaryOf(entry.path(), target)) {
            std::filesystem::remove(entry.path(), ec);
        }
    }

    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) {
            systemError("cannot read the state file", m_path);
        }
        TerminalState defaults;
        save(defaults);
        return defaults;
    }
    // Each save replaces the file, so it would quietly undo a chmod: keep the
    // mode, and take a read-only file as meant.
    struct stat st { };
    if (::stat(m_path.c_str(), &st) != 0) {
        systemError("cannot read the state file", m_path);
    }
    const mode_t mode = st.st_mode & 07777;
    if ((mode & S_IWUSR) == 0) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
        throw std::runtime_error("the state file " + m_path + " is read-only (mode " + octal
            + "); termsim saves every change into it, so make it writable or give another file");
    }
    m_mode = mode;
    m_currentFd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC); // without it, the first save renames
    m_currentSize = static_cast<std::size_t>(st.st_size);
    std::stringstream text;
    text << in.rdbuf();
    try {
        return stateFromJson(json::parse(text.str()));
    } catch (const std::exception& e) {
        throw std::runtime_error("the state file " + m_path + " is not valid: " + e.what());
    }
}

StateFile::~StateFile()
{
    release();
}

// Closes both files; the spare, which holds nothing of value, goes.
void StateFile::release() const
{
    if (m_spareFd >= 0) {
        ::close(m_spareFd);
        ::unlink(m_temp.c_str());
        m_spareFd = -1;
    }
    if (m_currentFd >= 0) {
        ::close(m_currentFd);
        m_currentFd = -1;
    }
}

// The spare sits beside the target so the rename stays on one file system and
// is atomic. Its name only has to be free: O_EXCL makes sure it is, and a
// taken one (a leftover of another run) moves on.
void StateFile::createSpare() const
{
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        m_temp = m_tempPrefix;
        appendTempSuffix(m_temp, ++m_tempCounter);
        fd = ::open(m_temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, m_mode);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        systemError("cannot create a temporary file beside", m_path);
    }
    // A mode the umask would narrow is set after creating.
    if ((m_mode & m_umask) != 0 && ::fchmod(fd, m_mode) != 0) {
        const int why = errno;
        ::close(fd);
        ::unlink(m_temp.c_str());
        errno = why;
        systemError("cannot set the mode of a temporary file beside", m_path);
    }
    m_spareFd = fd;
    m_spareSize = 0;
}

void StateFile::save(const TerminalState& state) const
{
    appendStateJson(state, m_text);
    m_text += '\n';

    if (m_spareFd < 0) {
        createSpare();
    }
    std::size_t written = 0;
    bool ok = true;
    while (ok && written < m_text.size()) {
        const ssize_t n
            = ::pwrite(m_spareFd, m_text.data() + written, m_text.size() - written, static_cast<off_t>(written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        written += ok ? static_cast<std::size_t>(n) : 0;
    }
    // The spare may hold a longer, older state.
    ok = ok && (m_text.size() >= m_spareSize || ::ftruncate(m_spareFd, static_cast<off_t>(m_text.size())) == 0);
    ok = ok && (!m_sync || ::fsync(m_spareFd) == 0);
    if (!ok) {
        const int why = errno;
        release();
        errno = why;
        systemError("cannot write the state file", m_path);
    }
    m_spareSize = m_text.size();

    // Swapping the names makes the new state the state file at once, and
    // leaves the old one as the next spare.
    if (m_exchange && m_currentFd >= 0
        && ::renameat2(AT_FDCWD, m_temp.c_str(), AT_FDCWD, m_path.c_str(), RENAME_EXCHANGE) == 0) {
        std::swap(m_spareFd, m_currentFd);
        std::swap(m_spareSize, m_currentSize);
    } else {
        if (m_currentFd >= 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            m_exchange = false; // a plain rename from now on
        }
        if (std::rename(m_temp.c_str(), m_path.c_str()) != 0) {
            const int why = errno;
            release();
            errno = why;
            systemError("cannot write the state file", m_path);
        }
        if (m_currentFd >= 0) {
            ::close(m_currentFd);
        }
        m_currentFd = m_spareFd;
        m_currentSize = m_spareSize;
        m_spareFd = -1;
    }
    if (!m_sync) {
        return;
    }
    // The rename itself is durable only once the folder is synced.
    const int dirFd = ::open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        systemError("cannot open the folder of", m_path);
    }
    const bool synced = ::fsync(dirFd) == 0;
    ::close(dirFd);
    if (!synced) {
        systemError("cannot sync the folder of", m_path);
    }
}
