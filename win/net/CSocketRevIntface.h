// The listener as a client session sees it.
#pragma once

namespace pallorwind::win {

class CReceiveSocket;

class CSocketRevIntface {
public:
    // `client`'s app has closed or failed; the listener ends its session
    // (any thread: the end itself runs on the user-interface thread).
    virtual void OnClientClosed(CReceiveSocket* /*client*/) {}

protected:
    ~CSocketRevIntface() = default;
};

} // namespace pallorwind::win
