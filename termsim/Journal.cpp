#include "Journal.h"

#include <fstream>
#include <stdexcept>

Journal::Journal(std::unique_ptr<std::ostream> stream)
    : m_stream(std::move(stream))
{
}
Journal::~Journal() = default;
Journal::Journal(Journal&&) noexcept = default;
Journal& Journal::operator=(Journal&&) noexcept = default;

Journal Journal::openFile(const std::string& path)
{
    auto file = std::make_unique<std::ofstream>(path, std::ios::app | std::ios::binary);
    if (!*file) {
        throw std::runtime_error("cannot open the journal " + path);
    }
    return Journal(std::move(file));
}

Journal Journal::forTerminal(std::string address) const
{
    Journal view;
    view.m_stream = m_stream;
    view.m_terminal = std::move(address);
    return view;
}

void Journal::write(const nlohmann::json& entry)
{
    if (!m_stream) {
        return;
    }
    // Bytes that are not UTF-8 are replaced rather than losing the line.
    constexpr auto kReplace = nlohmann::json::error_handler_t::replace;
    if (m_terminal.empty()) {
        *m_stream << entry.dump(-1, ' ', false, kReplace) << '\n';
    } else {
        nlohmann::json tagged = entry;
        tagged["terminal"] = m_terminal;
        *m_stream << tagged.dump(-1, ' ', false, kReplace) << '\n';
    }
    m_stream->flush();
}
