// The listener as a client session sees it.
#pragma once

namespace pallorwind::win {

class CReceiveSocket;

class CSocketRevIntface {
public:
    // `client`'s session has ended; the listener releases it.
    virtual void OnClientClosed(CReceiveSocket* /*client*/) {}

protected:
    ~CSocketRevIntface() = default;
};

} // namespace pallorwind::win
