// termsim_attack: the two attacks termsim must withstand, as bounded loopback
// runs with a figure at the end.
//
//   termsim_attack flood  --target 127.0.0.1 [--connections 1000] [--sources 250]
//                         [--tries 100] [--seconds 300] [--key N]
//     Keeps CONNECTIONS idle connections open from SOURCES loopback source
//     addresses (127.10.x.y), reconnecting each one the simulator closes, and
//     meanwhile lets the real control Connect TRIES times: prints how many
//     completed within 1 s.
//   termsim_attack noread --target 127.0.0.1 --pid PID [--seconds 10] [--key N]
//     Passes the key check, stores a 4 KiB option, then sends ReadOption of it
//     without ever reading an answer; prints the simulator's peak memory
//     (VmHWM of PID) before and after.
//
// Only loopback targets are accepted, and every run ends by itself.
#include "KeyExchange.h"
#include "NetworkTermLink.h"
#include "Protocol.h"
#include "TerminalConstants.h"

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

struct Args {
    std::string mode;
    std::string target = "127.0.0.1";
    int connections = 1000;
    int sources = 250;
    int tries = 100;
    int seconds = 0; // 0: the mode's default
    int pid = 0;
    std::int32_t key = 0;
};

int usage()
{
    std::cerr << "usage: termsim_attack flood --target ADDR [--connections N] [--sources N] [--tries N]"
                 " [--seconds S] [--key N]\n"
                 "       termsim_attack noread --target ADDR --pid PID [--seconds S] [--key N]\n";
    return 2;
}

bool parse(int argc, char** argv, Args& a)
{
    if (argc < 2) {
        return false;
    }
    a.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--target") {
            a.target = value;
        } else if (option == "--connections") {
            a.connections = std::clamp(std::stoi(value), 1, 20000);
        } else if (option == "--sources") {
            a.sources = std::clamp(std::stoi(value), 1, 60000);
        } else if (option == "--tries") {
            a.tries = std::clamp(std::stoi(value), 1, 10000);
        } else if (option == "--seconds") {
            a.seconds = std::clamp(std::stoi(value), 1, 3600);
        } else if (option == "--pid") {
            a.pid = std::stoi(value);
        } else if (option == "--key") {
            a.key = std::stoi(value);
        } else {
            return false;
        }
    }
    asio::error_code ec;
    const auto address = asio::ip::make_address_v4(a.target, ec);
    if (ec || !address.is_loopback()) {
        std::cerr << "termsim_attack: only a loopback target (127.0.0.0/8) is allowed\n";
        return false;
    }
    return a.mode == "flood" || (a.mode == "noread" && a.pid > 0);
}

// One idle connection that comes back whenever it is closed or refused.
class Idler : public std::enable_shared_from_this<Idler> {
public:
    Idler(asio::io_context& io, tcp::endpoint target, asio::ip::address_v4 source, std::atomic<long>& connects)
        : m_socket(io)
        , m_retry(io)
        , m_target(target)
        , m_source(source)
        , m_connects(connects)
    {
    }

    void start()
    {
        asio::error_code ec;
        m_socket.close(ec);
        m_socket.open(tcp::v4(), ec);
        m_socket.set_option(tcp::socket::reuse_address(true), ec);
        m_socket.bind({ m_source, 0 }, ec);
        m_socket.async_connect(m_target, [self = shared_from_this()](asio::error_code e) {
            if (e) {
                self->again();
                return;
            }
            ++self->m_connects;
            self->drain();
        });
    }

private:
    tcp::socket m_socket;
    asio::steady_timer m_retry;
    tcp::endpoint m_target;
    asio::ip::address_v4 m_source;
    std::atomic<long>& m_connects;
    std::array<char, 256> m_buffer {};

    // Reads (and ignores) whatever comes, until the simulator closes.
    void drain()
    {
        m_socket.async_read_some(asio::buffer(m_buffer), [self = shared_from_this()](asio::error_code e, std::size_t) {
            if (e) {
                self->again();
            } else {
                self->drain();
            }
        });
    }

    // A refused connect retries after a moment rather than spinning.
    void again()
    {
        m_retry.expires_after(5ms);
        m_retry.async_wait([self = shared_from_this()](asio::error_code e) {
            if (!e) {
                self->start();
            }
        });
    }
};

int flood(const Args& a)
{
    const tcp::endpoint target(asio::ip::make_address_v4(a.target), static_cast<std::uint16_t>(kTerminalPort));
    asio::io_context io;
    std::atomic<long> connects { 0 };
    for (int i = 0; i < a.connections; ++i) {
        const int s = i % a.sources;
        const asio::ip::address_v4 source(asio::ip::address_v4::bytes_type {
            127, 10, static_cast<unsigned char>(s / 250), static_cast<unsigned char>(s % 250 + 1) });
        std::make_shared<Idler>(io, target, source, connects)->start();
    }
    const auto limit = std::chrono::seconds(a.seconds ? a.seconds : 300);
    std::atomic<bool> done { false };
    std::thread floodThread([&] {
        const auto end = Clock::now() + limit;
        while (!done && Clock::now() < end) {
            io.run_for(100ms);
        }
    });
    std::this_thread::sleep_for(2s); // let the flood fill the table first

    int within = 0;
    std::vector<double> times;
    const auto stopAt = Clock::now() + limit;
    for (int i = 0; i < a.tries && Clock::now() < stopAt; ++i) {
        termlink::NetworkTermLink link({ 1000ms, 1000ms });
        link.SetCommKey(a.key);
        const auto started = Clock::now();
        const bool ok = link.ConnectNetwork(std::u16string(a.target.begin(), a.target.end()), kTerminalPort).value != 0;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        times.push_back(ms);
        within += ok && ms <= 1000 ? 1 : 0;
        link.DisconnectTerminal();
        std::this_thread::sleep_for(100ms);
    }
    done = true;
    floodThread.join();
    std::sort(times.begin(), times.end());
    const auto at
        = [&](double q) { return times.empty() ? 0.0 : times[static_cast<std::size_t>(q * (times.size() - 1))]; };
    std::cout << "flood: " << a.connections << " idle connections from " << a.sources << " addresses, "
              << connects.load() << " connects made\n"
              << "Connect within 1 s: " << within << " of " << times.size() << " (median " << at(0.5) << " ms, max "
              << at(1.0) << " ms)\n";
    return within == static_cast<int>(times.size()) ? 0 : 1;
}

long peakKiB(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

int noread(const Args& a)
{
    const std::string name = "NoReadBig";
    {
        termlink::NetworkTermLink link;
        link.SetCommKey(a.key);
        const std::u16string address(a.target.begin(), a.target.end());
        if (!link.ConnectNetwork(address, kTerminalPort).value
            || !link.WriteOption(1, std::u16string(name.begin(), name.end()), std::u16string(4096, u'x')).value) {
            std::cerr << "noread: cannot store the 4 KiB option\n";
            return 1;
        }
    }
    const long before = peakKiB(a.pid);

    // A bare client: its handshake is the protocol's, by hand, since the
    // control always reads its answers.
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect({ asio::ip::make_address_v4(a.target), static_cast<std::uint16_t>(kTerminalPort) });
    std::vector<std::uint8_t> in;
    // One whole frame, opened with the session's keys once there are some.
    const auto readFrame = [&](proto::SessionCipher* cipher) {
        while (true) {
            const auto r = cipher ? cipher->open(in) : proto::decode(in);
            if (r.status == proto::DecodeStatus::Ok) {
                in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(r.consumed));
                return r.message;
            }
            if (r.status == proto::DecodeStatus::Invalid) {
                throw std::runtime_error("unreadable frame from the simulator: " + r.error);
            }
            std::array<std::uint8_t, 512> chunk {};
            const auto n = socket.read_some(asio::buffer(chunk));
            in.insert(in.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        }
    };
    proto::ControlHandshake handshake(a.key);
    const auto auth = handshake.answerHello(readFrame(nullptr));
    if (!auth) {
        throw std::runtime_error("the simulator's Hello was not understood");
    }
    asio::write(socket, asio::buffer(proto::encode(*auth)));
    if (!handshake.checkProof(readFrame(nullptr))) {
        throw std::runtime_error("the simulator did not prove the key (wrong --key?)");
    }
    asio::write(socket, asio::buffer(proto::encode(handshake.confirmation())));
    proto::SessionCipher cipher = handshake.cipher();
    readFrame(&cipher); // the verdict

    // Every sealed frame carries its own counter, so the requests are sealed
    // as they go rather than one batch sent again and again.
    socket.non_blocking(true);
    std::uint32_t id = 1;
    std::size_t frameSize = 0;
    std::vector<std::uint8_t> batch;
    long sent = 0;
    std::size_t offset = 0;
    const auto end = Clock::now() + std::chrono::seconds(a.seconds ? a.seconds : 10);
    while (Clock::now() < end) {
        if (offset == batch.size()) {
            batch.clear();
            offset = 0;
            for (int i = 0; i < 256; ++i) {
                const auto frame = cipher.seal({ proto::Kind::Request, proto::Op::ReadOption, id++, { 1, name } });
                frameSize = frame.size();
                batch.insert(batch.end(), frame.begin(), frame.end());
            }
        }
        asio::error_code ec;
        const auto n = socket.write_some(asio::buffer(batch) + offset, ec);
        if (ec == asio::error::would_block) {
            pollfd p { socket.native_handle(), POLLOUT, 0 };
            ::poll(&p, 1, 50);
            continue;
        }
        if (ec) {
            std::cout << "noread: the simulator closed the link (" << ec.message() << ")\n";
            break;
        }
        sent += static_cast<long>(n);
        offset += n;
    }
    const long after = peakKiB(a.pid);
    std::cout << "noread: " << sent / static_cast<long>(frameSize ? frameSize : 1) << " requests sent, none read\n"
              << "termsim peak memory (VmHWM): " << before / 1024.0 << " MiB before, " << after / 1024.0
              << " MiB after\n";
    return after >= 0 && after < 64 * 1024 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Args a;
    try {
        if (!parse(argc, argv, a)) {
            return usage();
        }
        return a.mode == "flood" ? flood(a) : noread(a);
    } catch (const std::exception& e) {
        std::cerr << "termsim_attack: " << e.what() << "\n";
        return 1;
    }
}
