#include "win/net/CReceiveSocket.h"

#include "win/net/CCommuInterface.h"
#include "win/net/CSocketRevIntface.h"

namespace pallorwind::win {

using pallorwind::platform::AppReader;

CReceiveSocket::CReceiveSocket() {
    m_batch.reserve(pallorwind::protocol::kMaxReadSize / 3 + 1);
}

CReceiveSocket::~CReceiveSocket() {
    StopReading();
    Close();
}

void CReceiveSocket::Player::Message(std::uint32_t word) {
    socket.m_held.Played(word);
    socket.m_batch.push_back(word);
}

bool CReceiveSocket::StartReading(pallorwind::platform::ReadGate& gate) {
    // The reading thread reads; the event loop hears nothing of this socket.
    DropNotices();
    m_reader = std::make_unique<AppReader>(
        Handle(), pallorwind::protocol::kMaxReadSize, gate,
        [this](const std::uint8_t* data, std::size_t size) { Received(data, size); },
        [this](int) { Ended(); });
    return m_reader->Start();
}

int CReceiveSocket::StartError() const {
    return m_reader ? m_reader->StartError() : 0;
}

void CReceiveSocket::StopReading() {
    if (m_reader)
        m_reader->Stop();
}

void CReceiveSocket::Received(const std::uint8_t* data, std::size_t size) {
    std::lock_guard lock(m_playLock);
    Player player{*this};
    m_stream.Feed(data, size, player);
    // A record the output refuses is dropped; the others are still played.
    if (!m_batch.empty())
        m_pCommu->SendMidiOutBatch(m_batch);
    m_batch.clear();
}

void CReceiveSocket::Ended() {
    // The app closed its side, or the connection failed: the session ends.
    if (m_pRevIntface)
        m_pRevIntface->OnClientClosed(this);
}

void CReceiveSocket::ReleaseHeldNotes() {
    std::lock_guard lock(m_playLock);
    if (m_held.Empty() || !m_pCommu)
        return;
    m_pCommu->SendMidiOutBatch(m_held.Release());
}

} // namespace pallorwind::win
