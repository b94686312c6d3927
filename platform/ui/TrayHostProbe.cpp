#include "platform/ui/TrayHostProbe.h"

#include "platform/app/MainThreadPoster.h"

#include <dbus/dbus.h>
#include <xcb/xcb.h>

#include <sys/stat.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>

namespace pallorwind::platform {
namespace {

// How long one question to the session bus may take once connected.
constexpr int kCallTimeoutMs = 1000;

// The session bus's address as the desktop gives it; empty when there is
// none. Never lets libdbus start a bus of its own (autolaunch).
std::string SessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string path = std::string(runtime) + "/bus";
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
            return "unix:path=" + path;
    }
    return {};
}

// The session bus, kept open between looks.
class Bus {
public:
    ~Bus() { Drop(); }

    // A StatusNotifierItem watcher runs and says a host has registered.
    bool HostRegistered() {
        if (!m_connection && !Connect())
            return false;
        if (!dbus_connection_get_is_connected(m_connection)) {
            Drop();
            return false;
        }
        DBusMessage* call =
            dbus_message_new_method_call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                         "org.freedesktop.DBus.Properties", "Get");
        if (!call)
            return false;
        const char* interface = "org.kde.StatusNotifierWatcher";
        const char* property = "IsStatusNotifierHostRegistered";
        dbus_message_append_args(call, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                                 DBUS_TYPE_INVALID);
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply =
            dbus_connection_send_with_reply_and_block(m_connection, call, kCallTimeoutMs, &error);
        dbus_message_unref(call);
        dbus_error_free(&error); // no watcher: the name has no owner
        if (!reply)
            return false;
        bool registered = false;
        DBusMessageIter args;
        if (dbus_message_iter_init(reply, &args) &&
            dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_VARIANT) {
            DBusMessageIter value;
            dbus_message_iter_recurse(&args, &value);
            if (dbus_message_iter_get_arg_type(&value) == DBUS_TYPE_BOOLEAN) {
                dbus_bool_t flag = FALSE;
                dbus_message_iter_get_basic(&value, &flag);
                registered = flag;
            }
        }
        dbus_message_unref(reply);
        return registered;
    }

private:
    bool Connect() {
        const std::string address = SessionBusAddress();
        if (address.empty())
            return false;
        DBusError error;
        dbus_error_init(&error);
        m_connection = dbus_connection_open_private(address.c_str(), &error);
        dbus_error_free(&error);
        if (!m_connection)
            return false;
        dbus_connection_set_exit_on_disconnect(m_connection, FALSE);
        // The bus's Hello, asked by hand: dbus_bus_register() would hold a
        // lock of the whole library while it waits, and every other
        // connection of the program (the toolkit's, the DNS-SD library's)
        // would wait with it.
        DBusMessage* hello = dbus_message_new_method_call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello");
        DBusMessage* reply = hello ? dbus_connection_send_with_reply_and_block(
                                         m_connection, hello, kCallTimeoutMs, &error)
                                   : nullptr;
        if (hello)
            dbus_message_unref(hello);
        dbus_error_free(&error);
        if (!reply) {
            Drop();
            return false;
        }
        dbus_message_unref(reply);
        return true;
    }
    void Drop() {
        if (!m_connection)
            return;
        dbus_connection_close(m_connection);
        dbus_connection_unref(m_connection);
        m_connection = nullptr;
    }

    DBusConnection* m_connection = nullptr;
};

// The X display, kept open between looks.
class Display {
public:
    ~Display() { Drop(); }

    // An XEmbed tray owns the selection "_NET_SYSTEM_TRAY_S<screen>".
    bool TrayOwned() {
        if (!m_connection && !Connect())
            return false;
        char name[32];
        const int length = std::snprintf(name, sizeof name, "_NET_SYSTEM_TRAY_S%d", m_screen);
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, std::uint16_t(length), name), nullptr);
        bool owned = false;
        if (atom) {
            xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
                m_connection, xcb_get_selection_owner(m_connection, atom->atom), nullptr);
            owned = owner && owner->owner != XCB_NONE;
            std::free(owner);
            std::free(atom);
        }
        if (xcb_connection_has_error(m_connection))
            Drop(); // the display went away; connect afresh next time
        return owned;
    }

private:
    bool Connect() {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            return false;
        m_connection = xcb_connect(nullptr, &m_screen);
        if (xcb_connection_has_error(m_connection)) {
            Drop();
            return false;
        }
        return true;
    }
    void Drop() {
        if (m_connection)
            xcb_disconnect(m_connection);
        m_connection = nullptr;
    }

    xcb_connection_t* m_connection = nullptr;
    int m_screen = 0;
};

} // namespace

struct TrayHostProbe::Shared {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false; // guarded by lock
    bool now = false;  // guarded by lock: look again without waiting
    bool busy = false; // guarded by lock: a look is under way
    std::chrono::milliseconds period;
    std::function<void(TrayHosts)> onChanged; // main thread only
    MainThreadPoster* poster = nullptr;       // guarded by lock; null once the probe is gone
    std::thread thread;

    void Run(const std::shared_ptr<Shared>& keep) {
        pthread_setname_np(pthread_self(), "tray-probe"); // as top -H shows it
        Bus bus;
        Display display;
        std::optional<TrayHosts> last;
        std::unique_lock guard(lock);
        for (;;) {
            if (stop)
                return;
            busy = true;
            guard.unlock();
            TrayHosts hosts;
            hosts.statusNotifier = bus.HostRegistered();
            hosts.xembed = display.TrayOwned();
            guard.lock();
            busy = false;
            if (stop)
                return;
            if (!last || *last != hosts) {
                last = hosts;
                if (poster)
                    poster->Post([keep, hosts] {
                        if (keep->onChanged)
                            keep->onChanged(hosts);
                    });
            }
            wake.wait_for(guard, period, [&] { return stop || now; });
            now = false;
        }
    }
};

TrayHostProbe::TrayHostProbe(std::function<void(TrayHosts)> onChanged,
                             std::chrono::milliseconds period)
    : m_shared(std::make_shared<Shared>()), m_poster(std::make_unique<MainThreadPoster>()) {
    m_shared->period = period;
    m_shared->onChanged = std::move(onChanged);
    m_shared->poster = m_poster.get();
    m_shared->thread = std::thread([shared = m_shared] { shared->Run(shared); });
}

TrayHostProbe::~TrayHostProbe() {
    bool busy = false;
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->stop = true;
        m_shared->poster = nullptr;
        busy = m_shared->busy;
    }
    m_shared->wake.notify_all();
    // A look that waits for a stuck bus or display ends on its own.
    if (busy)
        m_shared->thread.detach();
    else
        m_shared->thread.join();
}

void TrayHostProbe::LookNow() {
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->now = true;
    }
    m_shared->wake.notify_all();
}

} // namespace pallorwind::platform
