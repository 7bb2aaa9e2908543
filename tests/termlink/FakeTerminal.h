#pragma once

#include "KeyExchange.h"
#include "Protocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

// A scripted terminal on a loopback address (port 4370), for what the real
// simulator never does: garbled frames, answers to another request, silence.
// It accepts one connection and runs the script on it in its own thread; every
// wait inside is bounded, so the destructor's join always returns.
class FakeTerminal {
public:
    class Peer {
    public:
        explicit Peer(int fd)
            : m_fd(fd)
        {
        }
        bool sendRaw(std::span<const std::uint8_t> bytes, bool oneByteAtATime = false);
        bool send(const proto::Message& message, bool oneByteAtATime = false);
        std::optional<proto::Message> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
        // The terminal's side of the key check with `key`, answering accepted
        // or refused. True when the control confirmed the key; from then on
        // send() and receive() are sealed.
        bool handshake(std::int32_t key);
        // True once the control has closed its end.
        bool waitClosed(std::chrono::milliseconds timeout);

    private:
        int m_fd;
        std::vector<std::uint8_t> m_inbox;
        std::optional<proto::SessionCipher> m_cipher;
    };
    using Script = std::function<void(Peer&)>;

    FakeTerminal(const std::string& address, Script script);
    ~FakeTerminal();
    FakeTerminal(const FakeTerminal&) = delete;
    FakeTerminal& operator=(const FakeTerminal&) = delete;

    bool listening() const { return m_listenFd >= 0; }
    // Waits for the script to end (bounded by its own waits).
    void finish();

private:
    int m_listenFd = -1;
    std::thread m_thread;
};

// A response to `request` as the terminal would send it.
proto::Message answer(const proto::Message& request, std::int32_t result, std::string out = {});
