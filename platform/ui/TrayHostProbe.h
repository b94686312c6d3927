// Looks for a tray host now and then, on a thread of its own: a
// StatusNotifierItem watcher with a host on the session bus, or an XEmbed tray
// on the X display. Asking either can wait a long time (a bus that takes the
// connection and never answers waits out libdbus's 25 s), so the event loop
// never asks itself; it is told when the answer changes.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace pallorwind::platform {

class MainThreadPoster;

struct TrayHosts {
    bool statusNotifier = false; // a watcher with a host on the session bus
    bool xembed = false;         // an XEmbed tray owns the X display's tray selection
    bool operator==(const TrayHosts&) const = default;
};

class TrayHostProbe {
public:
    // `onChanged` runs on the thread that made the probe (its event loop),
    // with the first answer and with each change.
    explicit TrayHostProbe(std::function<void(TrayHosts)> onChanged,
                           std::chrono::milliseconds period = std::chrono::milliseconds(1000));
    // Never waits for a bus or display that does not answer: a look still
    // under way ends on its own and tells nobody.
    ~TrayHostProbe();
    TrayHostProbe(const TrayHostProbe&) = delete;
    TrayHostProbe& operator=(const TrayHostProbe&) = delete;

    // Looks again now, then at the usual pace.
    void LookNow();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<MainThreadPoster> m_poster; // carries the answers to our thread
};

} // namespace pallorwind::platform
