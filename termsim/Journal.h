#pragma once

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <memory>
#include <string>

// One JSON object per line, flushed per line, so a test (or a person with
// tail -f) sees every entry as soon as it happens and a kill loses none.
// Without a stream it writes nothing. The terminals of a site share one
// stream; each writes through its own view, which adds its address.
class Journal {
public:
    Journal() = default;
    explicit Journal(std::unique_ptr<std::ostream> stream);
    ~Journal();
    Journal(Journal&&) noexcept;
    Journal& operator=(Journal&&) noexcept;

    // Appends to `path`; throws std::runtime_error when it cannot be opened.
    static Journal openFile(const std::string& path);

    // A view on the same stream whose entries carry "terminal": address.
    Journal forTerminal(std::string address) const;

    void write(const nlohmann::json& entry);
    bool enabled() const { return m_stream != nullptr; }

private:
    std::shared_ptr<std::ostream> m_stream;
    std::string m_terminal;
};
