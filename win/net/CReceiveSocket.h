// One app's connection: decodes its MIDI records and plays them.
#pragma once

#include "platform/net/AsyncSocket.h"
#include "protocol/RecordDecoder.h"

namespace pallorwind::win {

class CCommuInterface;
class CSocketRevIntface;

class CReceiveSocket : public pallorwind::platform::AsyncSocket {
public:
    CReceiveSocket() = default;
    ~CReceiveSocket() override;

    CCommuInterface* m_pCommu = nullptr;
    CSocketRevIntface* m_pRevIntface = nullptr;

protected:
    void OnReceive(int error) override;
    void OnClose(int error) override;

private:
    void Ended();

    // Carries a record split across reads over to the next read.
    pallorwind::protocol::RecordDecoder m_decoder;
};

} // namespace pallorwind::win
