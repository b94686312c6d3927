#include "win/net/CReceiveSocket.h"

#include "win/net/CCommuInterface.h"
#include "win/net/CSocketRevIntface.h"

#include <cstdint>

namespace pallorwind::win {

using pallorwind::platform::AsyncSocket;

CReceiveSocket::~CReceiveSocket() {
    Close();
}

void CReceiveSocket::OnReceive(int /*error*/) {
    std::uint8_t buffer[pallorwind::protocol::kMaxReadSize];
    const long n = Receive(buffer, sizeof buffer);
    if (n < 0 && AsyncSocket::IsWouldBlock(AsyncSocket::LastError()))
        return;
    if (n <= 0) {
        // The app closed its side, or the connection failed: the session ends now.
        Ended();
        return;
    }
    // A record the output refuses is dropped; the others are still played.
    m_decoder.Feed(buffer, std::size_t(n),
                   [this](std::uint32_t word) { m_pCommu->SendMidiOut(word); });
}

void CReceiveSocket::OnClose(int /*error*/) {
    Ended();
}

void CReceiveSocket::Ended() {
    if (m_pRevIntface)
        m_pRevIntface->OnClientClosed(this);
}

} // namespace pallorwind::win
