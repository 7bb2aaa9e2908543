#include "FakeTerminal.h"

#include "TerminalConstants.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace {

bool waitReadable(int fd, std::chrono::milliseconds timeout)
{
    pollfd pfd { fd, POLLIN, 0 };
    for (;;) {
        const int ready = poll(&pfd, 1, static_cast<int>(timeout.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

} // namespace

bool FakeTerminal::Peer::sendRaw(std::span<const std::uint8_t> bytes, bool oneByteAtATime)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const std::size_t chunk = oneByteAtATime ? 1 : bytes.size() - sent;
        const ssize_t n = ::send(m_fd, bytes.data() + sent, chunk, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool FakeTerminal::Peer::send(const proto::Message& message, bool oneByteAtATime)
{
    const auto frame = proto::encode(message);
    return sendRaw(frame, oneByteAtATime);
}

std::optional<proto::Message> FakeTerminal::Peer::receive(std::chrono::milliseconds timeout)
{
    for (;;) {
        auto decoded = proto::decode(m_inbox);
        if (decoded.status == proto::DecodeStatus::Ok) {
            m_inbox.erase(m_inbox.begin(), m_inbox.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
            return decoded.message;
        }
        if (decoded.status == proto::DecodeStatus::Invalid || !waitReadable(m_fd, timeout))
            return std::nullopt;
        std::array<std::uint8_t, 4096> chunk {};
        const ssize_t n = ::recv(m_fd, chunk.data(), chunk.size(), 0);
        if (n <= 0)
            return std::nullopt;
        m_inbox.insert(m_inbox.end(), chunk.begin(), chunk.begin() + n);
    }
}

bool FakeTerminal::Peer::handshake(std::int32_t key)
{
    std::vector<std::uint8_t> nonce(proto::kNonceSize);
    randombytes_buf(nonce.data(), nonce.size());
    if (!send({ proto::Kind::Hello, proto::Op::None, 0, { proto::Bytes { nonce } } }))
        return false;
    const auto auth = receive();
    if (!auth || auth->kind != proto::Kind::Auth || auth->fields.size() != 1)
        return false;
    const auto* mac = std::get_if<proto::Bytes>(&auth->fields[0]);

    std::array<std::uint8_t, crypto_auth_hmacsha256_KEYBYTES> paddedKey {};
    const auto bits = static_cast<std::uint32_t>(key);
    for (std::size_t i = 0; i < 4; ++i)
        paddedKey[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    std::array<std::uint8_t, crypto_auth_hmacsha256_BYTES> expected {};
    crypto_auth_hmacsha256(expected.data(), nonce.data(), nonce.size(), paddedKey.data());

    const bool good = mac && mac->data.size() == expected.size()
        && sodium_memcmp(mac->data.data(), expected.data(), expected.size()) == 0;
    send({ proto::Kind::AuthResult, proto::Op::None, 0, { good ? 0 : 1, std::string(good ? "" : "wrong key") } });
    return good;
}

bool FakeTerminal::Peer::waitClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(m_fd, left))
            return false;
        std::array<std::uint8_t, 512> chunk {};
        const ssize_t n = ::recv(m_fd, chunk.data(), chunk.size(), 0);
        if (n <= 0)
            return true;
    }
}

FakeTerminal::FakeTerminal(const std::string& address, Script script)
{
    if (sodium_init() < 0)
        return;
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where {};
    where.sin_family = AF_INET;
    where.sin_port = htons(kTerminalPort);
    ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(m_listenFd, 4) != 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        return;
    }
    m_thread = std::thread([this, script = std::move(script)] {
        if (!waitReadable(m_listenFd, std::chrono::seconds(10)))
            return;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        Peer peer(fd);
        script(peer);
        ::close(fd);
    });
}

FakeTerminal::~FakeTerminal()
{
    finish();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

void FakeTerminal::finish()
{
    if (m_thread.joinable())
        m_thread.join();
}

proto::Message answer(const proto::Message& request, std::int32_t result, std::string out)
{
    return proto::makeResponse(request, 0, result, std::move(out), {});
}
