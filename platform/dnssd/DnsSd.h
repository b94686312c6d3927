// Advertising a service through DNS-SD. Each registration owns its reference,
// its processing thread and that thread's wake pipe; replies reach the thread
// that registered (the main event loop) as posted calls.
#pragma once

#include <chrono>
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
    // False when no reply was read: the registration could not be made
    // (error is what DNSServiceRegister returned) or the service's answers
    // could not be read (error is what DNSServiceProcessResult returned).
    bool fromService = true;
    // The registration no longer hears from the service (it went away, its
    // answers could not be read, or the registration could not be made);
    // nothing more will arrive.
    bool last = false;
};

using DnsSdReplyHandler = std::function<void(const DnsSdReply&)>;

// A live registration. Destroying it withdraws the service; no reply handler
// runs after that, and it never waits for a DNS-SD service that does not
// answer.
class DnsSdRegistration {
public:
    virtual ~DnsSdRegistration() = default;
};

struct DnsSdRegisterResult {
    int error = kDnsSdNoError;                       // kDnsSdNoError, or why nothing was asked
    std::unique_ptr<DnsSdRegistration> registration; // set when error is 0
};

// Registers `service` from a processing thread of its own: the registration
// call itself talks to the DNS-SD service and may wait for it, so it never
// runs on the calling thread. Every outcome, a registration the service
// refuses at once included, arrives as a reply. `onReply` runs on the
// calling thread's event loop, after the service's callback has returned.
// An error here only when no thread can be made.
DnsSdRegisterResult RegisterDnsSdService(const DnsSdService& service, DnsSdReplyHandler onReply);

// How a kept service registers; RegisterDnsSdService, or a stand-in in tests.
using DnsSdRegistrar = std::function<DnsSdRegisterResult(const DnsSdService&, DnsSdReplyHandler)>;

// A service kept registered: when there is no DNS-SD service, or it goes
// away, the service is registered again after a pause that grows from
// `first` to `longest`, until it is back. A name the service refuses
// (in use with other data, or not a valid name) is not tried again.
class KeptDnsSdService {
public:
    // The pauses between attempts while there is no DNS-SD service: a
    // service that comes back is used again within `longest` and a second.
    static constexpr std::chrono::milliseconds kFirstRetry{500};
    static constexpr std::chrono::milliseconds kLongestRetry{3000};

    enum class State {
        Pending,    // asked, no answer yet
        Registered, // the service confirmed the name
        Waiting,    // no DNS-SD service; asking again now and then
        Refused,    // the name is refused; not asked again
    };

    struct Events {
        // Every reply as it comes, before it is acted on (for diagnostics).
        std::function<void(const DnsSdReply&)> reply;
        // The service confirmed the name, as it registered it (it may have
        // renamed it).
        std::function<void(const std::string& name)> registered;
        // No DNS-SD service (`error` says why); asking again. `wasUp`: it had
        // answered before.
        std::function<void(int error, bool wasUp)> waiting;
        // The name was refused with `error`; nothing more happens.
        std::function<void(int error)> refused;
    };

    KeptDnsSdService(DnsSdService service, Events events,
                     DnsSdRegistrar registrar = RegisterDnsSdService,
                     std::chrono::milliseconds first = kFirstRetry,
                     std::chrono::milliseconds longest = kLongestRetry);
    // Withdraws the service.
    ~KeptDnsSdService();
    KeptDnsSdService(const KeptDnsSdService&) = delete;
    KeptDnsSdService& operator=(const KeptDnsSdService&) = delete;

    // Asks for the registration (once; later attempts are its own).
    void Start();
    State CurrentState() const { return m_state; }
    const DnsSdService& Service() const { return m_service; }

private:
    struct Retry;
    void Register();
    void Replied(const DnsSdReply& reply);
    void Wait(int error);

    DnsSdService m_service;
    Events m_events;
    DnsSdRegistrar m_registrar;
    State m_state = State::Pending;
    bool m_wasUp = false;
    std::unique_ptr<DnsSdRegistration> m_registration;
    std::unique_ptr<Retry> m_retry;
};

} // namespace pallorwind::platform
