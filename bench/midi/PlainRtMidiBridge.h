// The reference the benchmark holds the bridge against: the plainest bridge
// there is. It accepts apps on a loopback port, one after another, reads their
// records and plays each with one RtMidiOut on JACK, nothing else (no pacing,
// no rings of its own, no thread but the one reading).
#pragma once

#include <rtmidi/RtMidi.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace pallorwind::bench {

class PlainRtMidiBridge {
public:
    // Plays on the JACK port `target` ("client:port").
    PlainRtMidiBridge(const std::string& client, const std::string& target)
        : m_out(std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, client)) {
        // What RtMidi cannot take (its JACK ring is full) is counted, not
        // written to standard error one line a message.
        m_out->setErrorCallback(
            [](RtMidiError::Type, const std::string&, void* refused) {
                ++*static_cast<std::atomic<std::uint64_t>*>(refused);
            },
            &m_refused);
        for (unsigned i = 0; i < m_out->getPortCount(); ++i)
            if (m_out->getPortName(i) == target)
                m_out->openPort(i, "out");
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(m_listener, 1) == 0 &&
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~PlainRtMidiBridge() {
        shutdown(m_listener, SHUT_RDWR);
        const int app = m_app.exchange(-1);
        if (app >= 0)
            shutdown(app, SHUT_RDWR);
        m_thread.join();
        close(m_listener);
        if (app >= 0)
            close(app);
    }
    bool Ok() const { return m_port != 0 && m_out->isPortOpen(); }
    std::uint16_t Port() const { return m_port; }
    std::uint64_t Played() const { return m_played.load(); }

    // RtMidi's JACK output frees its ring before it closes its client; the
    // caller closes the port, lets a cycle pass, then destroys the bridge.
    void ClosePort() { m_out->closePort(); }

private:
    void Serve() {
        for (;;) {
            const int app = accept(m_listener, nullptr, nullptr);
            if (app < 0)
                return;
            m_app = app;
            Play(app);
            // Closed here unless the destructor is at it (then it closes it).
            int expected = app;
            if (m_app.compare_exchange_strong(expected, -1))
                close(app);
        }
    }
    void Play(int app) {
        unsigned char buffer[6000];
        std::size_t have = 0;
        for (;;) {
            const ssize_t n = read(app, buffer + have, sizeof buffer - have);
            if (n <= 0)
                return;
            have += std::size_t(n);
            std::size_t used = 0;
            for (; used + 3 <= have; used += 3) {
                m_out->sendMessage(buffer + used, 3);
                ++m_played;
            }
            for (std::size_t i = used; i < have; ++i)
                buffer[i - used] = buffer[i];
            have -= used;
        }
    }

    std::unique_ptr<RtMidiOut> m_out;
    int m_listener = -1;
    std::atomic<int> m_app{-1};
    std::uint16_t m_port = 0;
    std::atomic<std::uint64_t> m_played{0};
    std::atomic<std::uint64_t> m_refused{0};
    std::thread m_thread;
};

} // namespace pallorwind::bench
