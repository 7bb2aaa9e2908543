#pragma once

#include "ChildProcess.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// A fresh folder per test, removed afterwards.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "latchwise-fleet-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name, const std::string& content = {}) const
    {
        const std::string path = m_path + "/" + name;
        if (!content.empty())
            std::ofstream(path) << content;
        return path;
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

inline std::vector<std::string> fleetArgs(std::vector<std::string> args)
{
    args.insert(args.begin(), FLEET_PATH);
    return args;
}

// A week of the same start and end, as the schedule file writes a zone.
inline nlohmann::json weekOf(const std::string& start, const std::string& end)
{
    nlohmann::json days = nlohmann::json::object();
    for (const char* day : { "sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday" })
        days[day] = { start, end };
    return days;
}

inline nlohmann::json readJson(const std::string& path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}
