// Advertising a service through DNS-SD. Each registration owns its reference,
// its processing thread and that thread's wake pipe; replies reach the thread
// that registered (the main event loop) as posted calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pallorwind::platform {

// dns_sd error codes this program acts on.
inline constexpr int kDnsSdNoError = 0;
inline constexpr int kDnsSdServiceNotRunning = -65537; // no daemon, or it went away
inline constexpr int kDnsSdBadParam = -65540;
inline constexpr int kDnsSdNameConflict = -65548;

// The name of every registration's processing thread (to look at it in /proc).
inline constexpr const char* kDnsSdThreadName = "pw-dnssd";

struct DnsSdService {
    std::string name; // empty: the computer's default name
    std::string type; // "_name._tcp"
    std::uint16_t port = 0;
    std::string txt; // TXT record data; empty: a record of length 0
};

// Call once at the start of main, before any thread: the compatibility
// library otherwise warns on standard error, in three lines, at its first use
// in every process, about something the program cannot change.
void QuietDnsSdLibrary();

// One reply of the DNS-SD service to a registration.
struct DnsSdReply {
    int error = kDnsSdNoError;
    std::string name, type, domain;
    // False when no reply was read: the service's answers could not be read
    // (error is then what DNSServiceProcessResult returned).
    bool fromService = true;
    // The registration no longer hears from the service (it went away or its
    // answers could not be read); nothing more will arrive.
    bool last = false;
};

using DnsSdReplyHandler = std::function<void(const DnsSdReply&)>;

// A live registration. Destroying it withdraws the service; no reply handler
// runs after that.
class DnsSdRegistration {
public:
    virtual ~DnsSdRegistration() = default;
};

struct DnsSdRegisterResult {
    int error = kDnsSdNoError;                       // what DNSServiceRegister returned
    std::unique_ptr<DnsSdRegistration> registration; // set when error is 0
};

// Registers `service` and starts its processing thread. `onReply` runs on the
// calling thread's event loop, after the service's callback has returned.
// Does not wait for the service's answer.
DnsSdRegisterResult RegisterDnsSdService(const DnsSdService& service, DnsSdReplyHandler onReply);

} // namespace pallorwind::platform
