// The server as its listener sees it.
#pragma once

namespace pallorwind::win {

class CSocketInterface {
public:
    virtual void OnClientConnected() = 0;
    virtual void OnClientDisconnected() = 0;
    virtual ~CSocketInterface() = default;
};

} // namespace pallorwind::win
