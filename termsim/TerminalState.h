#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>

// Everything the simulated terminal remembers. docs/termsim.md describes the
// file it is kept in.
struct TerminalState {
    std::string firmwareVersion = "1.0.0-sim";
    std::string productName = "TS-100 Simulator";
    std::string vendorName = "Demo Vendor";
    std::string serialNumber = "SIM-000000001";
    bool colorTerminal = false;
    std::int32_t key = 0;
    std::map<std::string, std::string> options { { "~DeviceName", "K3X" }, { "GTZ101", "::" }, { "GTZ102", "::" },
        { "~DCTZ", "0" }, { "~DOTZ", "0" } };
    std::map<std::int32_t, std::string> timeZones;
    std::map<std::int32_t, std::int32_t> groupNumbers;
    std::array<std::int32_t, 6> unlockCombination {};

    bool operator==(const TerminalState&) const = default;
};

// What the terminal's tables hold at most, like a real terminal's memory: a
// write past them is refused, and a state file past them is not loaded.
inline constexpr std::size_t kMaxOptions = 256;
inline constexpr std::size_t kMaxOptionBytes = 32 * 1024; // names and values together
inline constexpr std::size_t kMaxTimeZones = 256;
inline constexpr std::size_t kMaxGroups = 256;

// Whether setting options[name] = value keeps the options within their bounds.
bool optionFits(const TerminalState& state, const std::string& name, const std::string& value);

nlohmann::json toJson(const TerminalState& state);
// The same members as toJson, written compactly into `out` (which is cleared
// first and keeps its capacity), without building a JSON tree: the save on
// every change uses it. Texts are written as they are, so they must be UTF-8;
// the decoder and the file parser let no other text into the state.
void appendStateJson(const TerminalState& state, std::string& out);
// Members missing from `json` keep their defaults. Throws std::runtime_error
// naming the member for a wrong type, an unknown member, a text longer than
// the protocol carries or a table past its bound.
TerminalState stateFromJson(const nlohmann::json& json);

// The state file. Every save replaces the file atomically and durably: a
// temporary file in the same folder is written and synced, renamed over the
// old one, and the folder is synced, so a crash leaves either the old or the
// new state, never a mix. Without `sync` the syncs are skipped: the rename
// still survives a kill of the process, but not a crash of the machine.
class StateFile {
public:
    explicit StateFile(std::string path, bool sync = true);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Reads the file; a missing file is created with the defaults, mode 0600
    // (it holds the key). Throws std::runtime_error for a file that cannot be
    // read or parsed, or is read-only (it is left untouched).
    TerminalState load() const;
    // Throws std::runtime_error when the state could not be made durable.
    // The file keeps the mode it had when loaded.
    void save(const TerminalState& state) const;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::string m_dir; // the folder of m_path, "." when it has none
    std::string m_tempPrefix; // m_dir + "/." + file name + "."
    bool m_sync = true;
    mutable mode_t m_mode = 0600;
    mode_t m_umask = 0; // the process's, read once
    // Reused by every save, so a save allocates nothing once warm.
    mutable std::string m_text;
    mutable std::string m_temp; // the spare's name
    mutable std::uint32_t m_tempCounter = 0;
    // The spare file the next save writes, and the state file itself, both
    // kept open: a save swaps their names, so it needs no open and no close.
    mutable int m_spareFd = -1;
    mutable int m_currentFd = -1;
    mutable std::size_t m_spareSize = 0;
    mutable std::size_t m_currentSize = 0;
    mutable bool m_exchange = true; // the file system can swap two names

    void createSpare() const;
    void release() const;
};
