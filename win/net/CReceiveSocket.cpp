#include "win/net/CReceiveSocket.h"

#include "win/net/CCommuInterface.h"
#include "win/net/CSocketRevIntface.h"

namespace pallorwind::win {

using pallorwind::platform::AsyncSocket;

CReceiveSocket::~CReceiveSocket() {
    Close();
}

void CReceiveSocket::Player::Message(std::uint32_t word) {
    socket.m_held.Played(word);
    // A record the output refuses is dropped; the others are still played.
    socket.m_pCommu->SendMidiOut(word);
}

CReceiveSocket::CReceiveSocket() {
    // Each notice is one read: the read itself tells the end.
    ReadOnEveryNotice();
}

void CReceiveSocket::OnReceive(int /*error*/) {
    std::uint8_t buffer[pallorwind::protocol::kMaxReadSize];
    const long n = Receive(buffer, sizeof buffer);
    if (n < 0 && AsyncSocket::IsWouldBlock(AsyncSocket::LastError()))
        return;
    if (n <= 0) {
        // The app closed its side, or the connection failed: the session ends now.
        EndNotices();
        Ended();
        return;
    }
    Player player{*this};
    m_reader.Feed(buffer, std::size_t(n), player);
}

void CReceiveSocket::Ended() {
    if (m_pRevIntface)
        m_pRevIntface->OnClientClosed(this);
}

void CReceiveSocket::ReleaseHeldNotes() {
    if (m_held.Empty() || !m_pCommu)
        return;
    for (const std::uint32_t word : m_held.Release())
        m_pCommu->SendMidiOut(word);
}

} // namespace pallorwind::win
