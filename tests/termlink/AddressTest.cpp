#include "Ipv4Address.h"
#include "NetworkTermLink.h"
#include "TerminalConstants.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using termlink::Ipv4Octets;
using termlink::NetworkTermLink;
using termlink::parseDottedQuad;

namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        ::setenv(name, value, 1);
    }
    ~ScopedEnv()
    {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

} // namespace

TEST(Address, ParsesDottedQuadsOnly)
{
    struct Row {
        const char* text;
        std::optional<Ipv4Octets> expected;
    };
    const std::vector<Row> rows {
        { "127.0.0.1", Ipv4Octets { 127, 0, 0, 1 } },
        { "192.168.1.201", Ipv4Octets { 192, 168, 1, 201 } },
        { "0.0.0.0", Ipv4Octets { 0, 0, 0, 0 } },
        { "255.255.255.255", Ipv4Octets { 255, 255, 255, 255 } },
        { "127.000.002.001", Ipv4Octets { 127, 0, 2, 1 } },
        { "", std::nullopt },
        { "localhost", std::nullopt },
        { "127.0.0", std::nullopt },
        { "127.0.0.1.5", std::nullopt },
        { "127.0.0.256", std::nullopt },
        { "127.0.0.1000", std::nullopt },
        { "127.0.0.0001", std::nullopt },
        { "127..0.1", std::nullopt },
        { ".127.0.0.1", std::nullopt },
        { "127.0.0.1.", std::nullopt },
        { " 127.0.0.1", std::nullopt },
        { "127.0.0.1 ", std::nullopt },
        { "127.0.0.-1", std::nullopt },
        { "0x7f.0.0.1", std::nullopt },
        { "2130706433", std::nullopt },
        { "::1", std::nullopt },
        { "127.0.0.1:4370", std::nullopt },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("text \"") + row.text + "\"");
        EXPECT_EQ(parseDottedQuad(row.text), row.expected);
    }
}

TEST(Address, ConnectRejectsBadAddressesAndPortsWithoutTrying)
{
    struct Row {
        const char* name;
        std::u16string address;
        std::int32_t port;
    };
    const std::vector<Row> rows {
        { "empty", u"", kTerminalPort },
        { "host name", u"localhost", kTerminalPort },
        { "three octets", u"127.0.2", kTerminalPort },
        { "octet too large", u"127.0.2.300", kTerminalPort },
        { "trailing blank", u"127.0.2.1 ", kTerminalPort },
        { "non-ASCII digit", u"127.0.2.\uFF11", kTerminalPort },
        { "port zero", u"127.0.2.1", 0 },
        { "port negative", u"127.0.2.1", -kTerminalPort },
        { "port too large", u"127.0.2.1", 65536 },
    };
    NetworkTermLink link;
    int attempts = 0;
    link.setConnectObserver([&](const std::string&, std::uint16_t) {
        ++attempts;
        return false;
    });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CallResult result = link.ConnectNetwork(row.address, row.port);
        EXPECT_EQ(result.status, connectFailureStatus(ConnectFailure::InvalidAddress));
        EXPECT_EQ(result.value, 0);
        EXPECT_FALSE(link.isConnected());
    }
    EXPECT_EQ(attempts, 0);
}

TEST(Address, LoopbackGuardRefusesOtherAddressesBeforeAnyConnect)
{
    ScopedEnv guard("LATCHWISE_LOOPBACK_ONLY", "1");
    NetworkTermLink link;
    // Should the guard ever break, the observer still stops the connect, so
    // this test can never send a packet off the machine.
    std::vector<std::string> attempted;
    link.setConnectObserver([&](const std::string& address, std::uint16_t) {
        attempted.push_back(address);
        return false;
    });
    for (const char16_t* address : { u"192.168.1.201", u"10.0.0.1", u"0.0.0.0", u"128.0.0.1", u"255.255.255.255" }) {
        SCOPED_TRACE(std::string(address, address + std::char_traits<char16_t>::length(address)));
        const auto start = std::chrono::steady_clock::now();
        const CallResult result = link.ConnectNetwork(address, kTerminalPort);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_EQ(result.status, connectFailureStatus(ConnectFailure::InvalidAddress));
        EXPECT_EQ(result.value, 0);
    }
    EXPECT_EQ(attempted, std::vector<std::string> {});

    // Loopback addresses pass the guard and reach the connect.
    EXPECT_EQ(link.ConnectNetwork(u"127.0.2.99", kTerminalPort).value, 0);
    EXPECT_EQ(attempted, std::vector<std::string> { "127.0.2.99" });
}

TEST(Address, LoopbackGuardIsReadAtEachCall)
{
    struct Row {
        const char* value; // nullptr: unset
        bool guarded;
    };
    const std::vector<Row> rows { { nullptr, false }, { "", false }, { "0", false }, { "1", true }, { "yes", true } };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value ? row.value : "(unset)");
        ScopedEnv guard("LATCHWISE_LOOPBACK_ONLY", "1");
        if (row.value)
            ::setenv("LATCHWISE_LOOPBACK_ONLY", row.value, 1);
        else
            ::unsetenv("LATCHWISE_LOOPBACK_ONLY");
        NetworkTermLink link;
        int attempts = 0;
        link.setConnectObserver([&](const std::string&, std::uint16_t) {
            ++attempts;
            return false; // never let this one out
        });
        EXPECT_EQ(link.ConnectNetwork(u"192.168.1.201", kTerminalPort).value, 0);
        EXPECT_EQ(attempts, row.guarded ? 0 : 1);
    }
}
