// What a WriteOption costs against a real termsim, as a ratio to a plain TCP
// echo of the same frame sizes in another process (the floor for any request
// that crosses into another process, as one to termsim does). Loopback round
// trips here swing by several times from one moment to the next, so the
// cases run interleaved in short alternating batches, each batch gives each
// case a ratio to the echo's median in that same batch, and the figure is the
// median of those ratios: it holds from run to run where a time does not.
// Cases: WriteOption from a bare blocking client (the simulator's share) and
// through the control, each with the value unchanged and changing (state on
// tmpfs, --no-sync), and the echo as a thread of this process for reference.
// Also, on their own: one Update-like sequence of 20 writes, and WriteOption
// with the simulator's state on disk, where its fsync per change shows.
//
// Everything runs on loopback (127.0.2.50-53); iteration counts are fixed.
#include "KeyExchange.h"
#include "NetworkTermLink.h"
#include "Protocol.h"
#include "TerminalConstants.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kTmpfsSim = "127.0.2.50";
constexpr const char* kEchoAddress = "127.0.2.51";
constexpr const char* kDiskSim = "127.0.2.52";
constexpr const char* kEchoProcessAddress = "127.0.2.53";

// Per-benchmark medians and ratios, printed together at the end.
std::map<std::string, double> g_medianUs;
std::map<std::string, double> g_ratio;

double medianUs(std::vector<double>& samples)
{
    if (samples.empty())
        return 0;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

// Times each iteration on its own, so the figure is a median, not a mean.
template <typename Body> void timed(benchmark::State& state, const std::string& name, Body&& body)
{
    for (int i = 0; i < 20; ++i)
        body(i); // warm up: connection, caches, the simulator's first writes
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    int i = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        body(i++);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const double median = medianUs(samples);
    state.counters["median_us"] = median;
    g_medianUs[name] = median;
}

sockaddr_in loopback(const char* address)
{
    sockaddr_in where {};
    where.sin_family = AF_INET;
    where.sin_port = htons(kTerminalPort);
    ::inet_pton(AF_INET, address, &where.sin_addr);
    return where;
}

bool sendAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveAll(int fd, std::vector<std::uint8_t>& bytes)
{
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::recv(fd, bytes.data() + got, bytes.size() - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void noDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The baseline: a thread that answers each request-sized message with a
// response-sized one, as fast as blocking sockets allow.
class EchoServer {
public:
    EchoServer(std::size_t requestSize, std::size_t responseSize)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in where = loopback(kEchoAddress);
        if (::bind(m_listen, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0
            || ::listen(m_listen, 1) != 0) {
            ::close(m_listen);
            m_listen = -1;
            return;
        }
        m_thread = std::thread([this, requestSize, responseSize] {
            pollfd pfd { m_listen, POLLIN, 0 };
            if (::poll(&pfd, 1, 10000) <= 0)
                return;
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            noDelay(fd);
            std::vector<std::uint8_t> request(requestSize);
            const std::vector<std::uint8_t> response(responseSize, 0x5a);
            while (receiveAll(fd, request) && sendAll(fd, response)) { }
            ::close(fd);
        });
    }
    ~EchoServer()
    {
        if (m_thread.joinable())
            m_thread.join(); // ends when the client closes
        if (m_listen >= 0)
            ::close(m_listen);
    }
    bool ok() const { return m_listen >= 0; }

private:
    int m_listen = -1;
    std::thread m_thread;
};

// The same echo in a child process. Made before any thread exists, so the
// child may do what it likes; it serves one connection and exits.
class EchoProcess {
public:
    EchoProcess(std::size_t requestSize, std::size_t responseSize)
    {
        const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in where = loopback(kEchoProcessAddress);
        if (::bind(listening, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0
            || ::listen(listening, 1) != 0) {
            ::close(listening);
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            pollfd pfd { listening, POLLIN, 0 };
            if (::poll(&pfd, 1, 10000) <= 0)
                ::_exit(1);
            const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                ::_exit(1);
            noDelay(fd);
            std::vector<std::uint8_t> request(requestSize);
            const std::vector<std::uint8_t> response(responseSize, 0x5a);
            while (receiveAll(fd, request) && sendAll(fd, response)) { }
            ::_exit(0);
        }
        ::close(listening);
    }
    ~EchoProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL); // its client has closed by now, or never came
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    bool ok() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

// termsim as a child process, stopped with SIGTERM at the end.
class Simulator {
public:
    Simulator(const std::string& binary, const char* address, const std::string& stateDir, bool sync)
    {
        const std::string state = stateDir + "/state.json";
        std::vector<std::string> args { binary, "--listen", address, "--port", std::to_string(kTerminalPort), "--state",
            state };
        if (!sync)
            args.push_back("--no-sync");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        m_out = fds[0];
        if (rc != 0) {
            m_pid = -1;
            return;
        }
        // Ready once it prints its listening line; bounded.
        std::string line;
        const auto deadline = Clock::now() + 10s;
        while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
            pollfd pfd { m_out, POLLIN, 0 };
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&pfd, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(m_out, buffer, sizeof buffer);
            if (n <= 0)
                break;
            line.append(buffer, static_cast<std::size_t>(n));
        }
        m_ready = line.starts_with("termsim listening on ");
    }
    ~Simulator()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            pollfd pfd { m_out, POLLIN, 0 };
            const auto deadline = Clock::now() + 5s;
            char buffer[256];
            while (Clock::now() < deadline && ::poll(&pfd, 1, 100) >= 0) {
                if ((pfd.revents & (POLLIN | POLLHUP)) && ::read(m_out, buffer, sizeof buffer) <= 0)
                    break;
            }
            ::kill(m_pid, SIGKILL); // harmless when it has already exited
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
    }
    bool ready() const { return m_ready; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    bool m_ready = false;
};

std::string makeTempDir(const std::string& base)
{
    std::string pattern = base + "/latchwise-bench-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

const std::u16string kWeek = u"08001700080017000800170008001700080017000800170008001700";
const std::u16string kOtherWeek = u"00002359000023590000235900002359000023590000235900002359";

// Connects the control to a simulator at `address` (ASCII), or marks the
// benchmark failed.
bool connectTo(termlink::NetworkTermLink& link, const char* address, benchmark::State& state)
{
    const std::string text(address);
    if (link.ConnectNetwork(std::u16string(text.begin(), text.end()), kTerminalPort).value)
        return true;
    state.SkipWithError("cannot connect to the simulator");
    return false;
}

// Every write changes the value, so every one persists the simulator's state.
void writeOptionLoop(benchmark::State& state, const std::string& name, const char* address)
{
    termlink::NetworkTermLink link;
    if (!connectTo(link, address, state))
        return;
    timed(state, name, [&](int i) {
        const CallResult result = link.WriteOption(1, u"IsHolidayValid", i % 2 ? u"0" : u"1");
        if (result.value == 0)
            state.SkipWithError("WriteOption failed");
    });
}

// The writes of one enabling Update with the group method, in its order.
void updateSequence(termlink::NetworkTermLink& link, int i)
{
    const bool odd = i % 2 != 0;
    const std::u16string& week = odd ? kWeek : kOtherWeek;
    link.WriteOption(1, u"WiegandFmt", odd ? u"26" : u"34");
    link.WriteOption(1, u"WiegandOut", u"1");
    link.WriteOption(1, u"WiegandIn", u"1");
    link.WriteOption(1, u"OpenCloseExtOn", u"1");
    link.WriteOption(1, u"~LockFunOn", odd ? u"15" : u"14");
    for (int index = 50; index >= 46; --index)
        link.WriteTimeZone(1, index, week);
    link.WriteGroupNumber(1, 101, 0);
    link.WriteGroupNumber(1, 102, 0);
    link.WriteOption(1, u"GTZ101", odd ? u"50:49:48:47:46" : u"50:49");
    link.WriteOption(1, u"GTZ102", u"::::");
    link.WriteOption(1, u"~DCTZ", odd ? u"50" : u"0");
    link.WriteOption(1, u"~DOTZ", u"0");
    link.WriteUnlockCombination(1, 1, 1, 0, 0, 0, 0);
    link.WriteOption(1, u"PermanentDoorColor", odd ? u"1" : u"0");
    link.WriteOption(1, u"DoorMode", odd ? u"2" : u"1");
    link.WriteOption(1, u"IsHolidayValid", odd ? u"1" : u"0");
}

// Reads one whole frame from a blocking socket.
bool receiveFrame(int fd, proto::Message& message, proto::SessionCipher* cipher = nullptr)
{
    std::vector<std::uint8_t> bytes(proto::kLengthPrefix);
    if (!receiveAll(fd, bytes))
        return false;
    const std::size_t length = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::size_t>(bytes[3]) << 24;
    if (length > proto::kMaxFrame)
        return false;
    std::vector<std::uint8_t> rest(length);
    if (!receiveAll(fd, rest))
        return false;
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    const proto::DecodeResult decoded = cipher ? cipher->open(bytes) : proto::decode(bytes);
    message = decoded.message;
    return decoded.status == proto::DecodeStatus::Ok;
}

// A minimal blocking client of the protocol (no control, no Asio): what it
// measures is the simulator's share.
class BareClient {
public:
    explicit BareClient(const char* address)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in where = loopback(address);
        proto::Message hello;
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 || !receiveFrame(m_fd, hello)
            || hello.fields.empty() || !std::holds_alternative<proto::Bytes>(hello.fields[0]))
            return;
        noDelay(m_fd);
        proto::ControlHandshake handshake(0);
        const auto auth = handshake.answerHello(hello);
        proto::Message proof;
        proto::Message verdict;
        if (!auth || !sendAll(m_fd, proto::encode(*auth)) || !receiveFrame(m_fd, proof) || !handshake.checkProof(proof)
            || !sendAll(m_fd, proto::encode(handshake.confirmation())))
            return;
        m_cipher = handshake.cipher();
        m_ok = receiveFrame(m_fd, verdict, &*m_cipher) && std::get<std::int32_t>(verdict.fields.at(0)) == 0;
    }
    ~BareClient() { ::close(m_fd); }
    bool ok() const { return m_ok; }

    bool writeOption(const std::string& name, const std::string& value)
    {
        const auto frame = m_cipher->seal({ proto::Kind::Request, proto::Op::WriteOption, m_id++, { 1, name, value } });
        proto::Message response;
        return sendAll(m_fd, frame) && receiveFrame(m_fd, response, &*m_cipher);
    }

private:
    int m_fd = -1;
    bool m_ok = false;
    std::optional<proto::SessionCipher> m_cipher;
    std::uint32_t m_id = 1;
};

// A connected blocking socket to an echo server, or -1.
int connectEcho(const char* address)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in where = loopback(address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        ::close(fd);
        return -1;
    }
    noDelay(fd);
    return fd;
}

struct Interleaved {
    std::string name;
    std::function<bool(int)> step;
    std::vector<double> ratios; // one per batch, to the echo's median in that batch
    std::vector<double> batchMedians;
};

constexpr int kBatches = 200;
constexpr int kBatchSize = 25;

// Runs the cases in alternating batches (the order rotating from batch to
// batch, so no case always follows the same one); the first case is the
// baseline the others are divided by.
void runInterleaved(benchmark::State& state, std::vector<Interleaved>& cases)
{
    for (auto& c : cases)
        for (int i = 0; i < 20; ++i)
            c.step(i); // warm up: connections, caches, the simulator's first writes
    int i = 0;
    for (auto _ : state) {
        for (int batch = 0; batch < kBatches; ++batch) {
            std::vector<double> medians(cases.size());
            for (std::size_t k = 0; k < cases.size(); ++k) {
                const std::size_t c = (k + static_cast<std::size_t>(batch)) % cases.size();
                std::vector<double> samples;
                samples.reserve(kBatchSize);
                for (int n = 0; n < kBatchSize; ++n) {
                    const auto start = Clock::now();
                    if (!cases[c].step(i++)) {
                        state.SkipWithError(("failed: " + cases[c].name).c_str());
                        return;
                    }
                    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                }
                medians[c] = medianUs(samples);
            }
            for (std::size_t c = 0; c < cases.size(); ++c) {
                cases[c].batchMedians.push_back(medians[c]);
                cases[c].ratios.push_back(medians[c] / medians[0]);
            }
        }
    }
    for (auto& c : cases) {
        g_medianUs[c.name] = medianUs(c.batchMedians);
        g_ratio[c.name] = medianUs(c.ratios);
        state.counters[c.name] = g_ratio[c.name];
    }
}

void printSummary(const std::vector<std::string>& order)
{
    auto at = [](const std::map<std::string, double>& map, const std::string& name) {
        const auto it = map.find(name);
        return it == map.end() ? 0.0 : it->second;
    };
    std::printf("\nlink_bench: %d alternating batches of %d round trips per case; ratio = the median over the\n"
                "batches of (the case's median / the echo process's median in the same batch). Loopback,\n"
                "TCP_NODELAY; simulator state on /dev/shm with --no-sync unless said.\n",
        kBatches, kBatchSize);
    std::printf("  %-52s %9s %7s\n", "", "median us", "ratio");
    for (const auto& name : order)
        std::printf("  %-52s %9.1f %7.2f\n", name.c_str(), at(g_medianUs, name), at(g_ratio, name));
    std::printf(
        "  %-52s %9.1f\n", "Update-like sequence of 20 writes, via the control", at(g_medianUs, "Update tmpfs"));
    std::printf("  %-52s %9.1f   (its fsync per change)\n", "WriteOption, simulator state on disk, via the control",
        at(g_medianUs, "WriteOption disk"));
    std::printf("  %-52s %9.1f   (once per Connect)\n", "ConnectNetwork with its key check, via the control",
        at(g_medianUs, "Connect"));
}

} // namespace

int main(int argc, char** argv)
{
    // The control's own guard, on for the whole run: this program must never
    // reach beyond loopback.
    ::setenv("LATCHWISE_LOOPBACK_ONLY", "1", 1);
    benchmark::Initialize(&argc, argv);

    // A loopback round trip costs several times more when its two ends wake
    // each other across cores than on one, and where the scheduler puts them
    // changes from run to run. Everything (the simulators and echo process
    // inherit it) runs on the core this starts on, unless LINK_BENCH_UNPINNED
    // is set.
    if (!std::getenv("LINK_BENCH_UNPINNED")) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(static_cast<unsigned>(::sched_getcpu()), &one);
        ::sched_setaffinity(0, sizeof one, &one);
    }

    const auto binDir = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string termsim = (binDir / "termsim").string();
    if (!std::filesystem::exists(termsim)) {
        std::fprintf(stderr, "link_bench: %s not found; build the termsim target\n", termsim.c_str());
        return 1;
    }

    // Frame sizes of the WriteOption exchange the control makes, sealed.
    const auto requestSize = proto::encode(proto::Message { proto::Kind::Request, proto::Op::WriteOption, 1,
                                               { 1, std::string("IsHolidayValid"), std::string("1") } })
                                 .size()
        + proto::kSealOverhead;
    const auto responseSize
        = proto::encode(proto::makeResponse(
                            proto::Message { proto::Kind::Request, proto::Op::WriteOption, 1, {} }, 0, -1, {}, {}))
              .size()
        + proto::kSealOverhead;

    const std::string shmDir = makeTempDir("/dev/shm");
    const std::string diskDir = makeTempDir("/var/tmp");
    if (shmDir.empty() || diskDir.empty()) {
        std::fprintf(stderr, "link_bench: cannot make the state directories\n");
        return 1;
    }
    int status = 0;
    {
        EchoProcess echoProcess(requestSize, responseSize); // first: it forks
        // On tmpfs without fsync the state file costs least, so the figure shows
        // the link; the one on disk keeps its fsyncs, to show what they cost.
        Simulator tmpfsSim(termsim, kTmpfsSim, shmDir, false);
        Simulator diskSim(termsim, kDiskSim, diskDir, true);
        EchoServer echo(requestSize, responseSize);
        if (!tmpfsSim.ready() || !diskSim.ready() || !echo.ok() || !echoProcess.ok()) {
            std::fprintf(stderr, "link_bench: could not start the simulators or the echo servers on 127.0.2.x:4370\n");
            status = 1;
        } else {
            const std::vector<std::string> order { "echo in another process (the baseline)",
                "echo in a thread of this process", "WriteOption bare client, unchanged",
                "WriteOption bare client, changing", "WriteOption via the control, unchanged",
                "WriteOption via the control, changing" };
            benchmark::RegisterBenchmark("Interleaved",
                [&](benchmark::State& state) {
                    const int echoProcessFd = connectEcho(kEchoProcessAddress);
                    const int echoFd = connectEcho(kEchoAddress);
                    BareClient bareUnchanged(kTmpfsSim);
                    BareClient bareChanging(kTmpfsSim);
                    termlink::NetworkTermLink unchanged;
                    termlink::NetworkTermLink changing;
                    const std::string text(kTmpfsSim);
                    const std::u16string address(text.begin(), text.end());
                    if (echoProcessFd < 0 || echoFd < 0 || !bareUnchanged.ok() || !bareChanging.ok()
                        || !unchanged.ConnectNetwork(address, kTerminalPort).value
                        || !changing.ConnectNetwork(address, kTerminalPort).value) {
                        state.SkipWithError("cannot reach the echo servers or the simulator");
                    } else {
                        const std::vector<std::uint8_t> request(requestSize, 0xa5);
                        std::vector<std::uint8_t> response(responseSize);
                        const auto echo = [&](int fd) { return sendAll(fd, request) && receiveAll(fd, response); };
                        // A changing value makes every write save the simulator's
                        // state; an unchanged one leaves its file alone.
                        std::vector<Interleaved> cases {
                            { order[0], [&](int) { return echo(echoProcessFd); }, {}, {} },
                            { order[1], [&](int) { return echo(echoFd); }, {}, {} },
                            { order[2], [&](int) { return bareUnchanged.writeOption("IsHolidayValid", "1"); }, {}, {} },
                            { order[3], [&](int i) { return bareChanging.writeOption("DoorMode", i % 2 ? "1" : "2"); },
                                {}, {} },
                            { order[4],
                                [&](int) { return unchanged.WriteOption(1, u"IsHolidayValid", u"1").value != 0; }, {},
                                {} },
                            { order[5],
                                [&](int i) {
                                    return changing.WriteOption(1, u"OpenMode", i % 2 ? u"1" : u"2").value != 0;
                                },
                                {}, {} },
                        };
                        runInterleaved(state, cases);
                    }
                    if (echoProcessFd >= 0)
                        ::close(echoProcessFd);
                    if (echoFd >= 0)
                        ::close(echoFd);
                })
                ->Iterations(1)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);

            benchmark::RegisterBenchmark("UpdateSequence20/tmpfs",
                [](benchmark::State& state) {
                    termlink::NetworkTermLink link;
                    if (!connectTo(link, kTmpfsSim, state))
                        return;
                    timed(state, "Update tmpfs", [&](int i) { updateSequence(link, i); });
                })
                ->Iterations(200)
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);

            // The key check's cost, paid once per Connect.
            benchmark::RegisterBenchmark("Connect/tmpfs",
                [](benchmark::State& state) {
                    termlink::NetworkTermLink link;
                    timed(state, "Connect", [&](int) { connectTo(link, kTmpfsSim, state); });
                })
                ->Iterations(300)
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);

            benchmark::RegisterBenchmark("WriteOption/disk",
                [](benchmark::State& state) { writeOptionLoop(state, "WriteOption disk", kDiskSim); })
                ->Iterations(300)
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);

            benchmark::RunSpecifiedBenchmarks();
            printSummary(order);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(shmDir, ignored);
    std::filesystem::remove_all(diskDir, ignored);
    benchmark::Shutdown();
    return status;
}
