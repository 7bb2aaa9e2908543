#pragma once

#include "Registry.h"
#include "SqliteRegistry.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The SQLite registry with every stored value noted, together with how many
// terminal calls had been made at that moment, so tests can see how terminal
// writes and store writes interleave.
class RecordingRegistry final : public Registry {
public:
    struct Write {
        std::size_t terminalCallsBefore;
        std::string name;
        std::string value; // without the terminating zero byte
    };

    RecordingRegistry(
        const std::filesystem::path& path, std::vector<Write>& log, std::function<std::size_t()> terminalCalls)
        : m_inner(path)
        , m_log(log)
        , m_terminalCalls(std::move(terminalCalls))
    {
    }

    RegistryKey& localMachine() override { return m_inner.localMachine(); }
    RegStatus createKey(
        RegistryKey& parent, const std::string& subKey, RegAccess access, std::unique_ptr<RegistryKey>& result) override
    {
        return m_inner.createKey(parent, subKey, access, result);
    }
    RegStatus openKey(
        RegistryKey& parent, const std::string& subKey, RegAccess access, std::unique_ptr<RegistryKey>& result) override
    {
        return m_inner.openKey(parent, subKey, access, result);
    }
    RegStatus setValue(RegistryKey& key, const std::string& name, RegType type, std::string_view data) override
    {
        const RegStatus status = m_inner.setValue(key, name, type, data);
        if (status == kErrorSuccess) {
            std::string value(data);
            if (!value.empty() && value.back() == '\0')
                value.pop_back();
            m_log.push_back({ m_terminalCalls(), name, value });
        }
        return status;
    }
    RegStatus queryValue(
        RegistryKey& key, const std::string& name, RegType& type, std::size_t& size, std::string* data) override
    {
        return m_inner.queryValue(key, name, type, size, data);
    }
    RegStatus closeKey(std::unique_ptr<RegistryKey> key) override { return m_inner.closeKey(std::move(key)); }

private:
    SqliteRegistry m_inner;
    std::vector<Write>& m_log;
    std::function<std::size_t()> m_terminalCalls;
};

// Terminal calls and store writes in the order they happened:
// "terminal WriteTimeZone(1, 50, ...)", "store 50=...".
inline std::vector<std::string> interleavedEffects(
    const std::vector<std::string>& calls, const std::vector<RecordingRegistry::Write>& storeWrites)
{
    std::vector<std::string> out;
    std::size_t next = 0;
    for (std::size_t i = 0; i <= calls.size(); ++i) {
        for (; next < storeWrites.size() && storeWrites[next].terminalCallsBefore <= i; ++next)
            out.push_back("store " + storeWrites[next].name + "=" + storeWrites[next].value);
        if (i < calls.size())
            out.push_back("terminal " + calls[i]);
    }
    return out;
}
