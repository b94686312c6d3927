#include "osx/AppStreams.h"

#include "platform/app/Log.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

namespace pallorwind::osx {

class AppStreams::Socket final : public platform::AsyncSocket {
public:
    std::function<void()> onReceive;
    std::function<void(int)> onClose;

protected:
    void OnReceive(int) override {
        if (onReceive)
            onReceive();
    }
    void OnClose(int error) override {
        if (onClose)
            onClose(error);
    }
};

AppStreams::AppStreams() : m_socket(std::make_unique<Socket>()) {
    m_socket->onReceive = [this] {
        if (m_events.bytesAvailable)
            m_events.bytesAvailable();
    };
    m_socket->onClose = [this](int error) {
        m_atEnd = true;
        if (m_events.ended)
            m_events.ended(error);
    };
}

bool AppStreams::AcceptFrom(platform::AsyncSocket& listener,
                            const platform::LinkTimeouts& timeouts) {
    if (m_writer ||
        listener.AcceptApp(*m_socket, timeouts) != platform::AsyncSocket::AcceptResult::Accepted)
        return false;
    // A write that fails is seen by the reading side too, as the end.
    m_writer = std::make_unique<platform::AppWriter>(m_socket->Handle(), kMidiRoom,
                                                     platform::AppWriter::Overflow::RefuseNew);
    if (!m_writer->Start()) {
        // An app that could never hear the computer's MIDI is not served
        // half: it is closed and may connect again.
        platform::Log::Linef("cannot start writing to an app (%s); closed it",
                             std::strerror(m_writer->StartError()));
        m_writer.reset();
        m_socket->Close();
        return false;
    }
    return true;
}

AppStreams::~AppStreams() {
    if (m_writer)
        m_writer->Stop();
    m_socket->Close();
}

void AppStreams::Quiet() {
    m_events = {};
    m_socket->SetReadEnabled(false);
}

long AppStreams::Read(std::uint8_t* buffer, std::size_t size) {
    const long n = m_socket->Receive(buffer, size);
    if (n == 0)
        m_atEnd = true;
    return n;
}

std::size_t AppStreams::Available() const {
    int count = 0;
    if (::ioctl(m_socket->Handle(), FIONREAD, &count) != 0 || count < 0)
        return 0;
    return std::size_t(count);
}

bool AppStreams::Write(std::string_view bytes, std::size_t room) {
    return m_writer && m_writer->Write(bytes, room);
}

std::size_t AppStreams::Pending() {
    return m_writer ? m_writer->Pending() : 0;
}

} // namespace pallorwind::osx
