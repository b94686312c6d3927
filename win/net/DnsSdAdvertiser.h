// The bridge's DNS-SD advertisement: registers the server under its name and
// port, reports a refused name to the controller, asks the user once when no
// registration can be made, and registers again by itself when the DNS-SD
// service comes (back).
#pragma once

#include "platform/app/MainThreadPoster.h"
#include "platform/dnssd/DnsSd.h"
#include "protocol/ServiceType.h"
#include "win/net/ServiceAdvertiser.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace pallorwind::win {

using protocol::kServiceType;

// How long to wait before registering again while there is no DNS-SD service:
// `first`, doubling up to `longest`.
struct DnsSdBackoff {
    std::chrono::milliseconds first = platform::KeptDnsSdService::kFirstRetry;
    std::chrono::milliseconds longest = platform::KeptDnsSdService::kLongestRetry;
};

class DnsSdAdvertiser final : public ServiceAdvertiser {
public:
    enum class State {
        Idle,       // nothing asked yet
        Pending,    // registered, no answer yet
        Registered, // the service confirmed the name
        Waiting,    // no DNS-SD service; trying again now and then
        Refused,    // the name is in use; the controller discards the server
        Failed,     // registration is impossible with these parameters
    };

    // `prompt` may be null: then no dialog is asked for. `registrar` makes
    // the registrations (tests give a stand-in).
    explicit DnsSdAdvertiser(RegistrationErrorPrompt* prompt, DnsSdBackoff backoff = {},
                             platform::DnsSdRegistrar registrar = platform::RegisterDnsSdService);
    ~DnsSdAdvertiser() override;

    // Asks for the registration; the outcome arrives later, on the event
    // loop. True: asked.
    bool Register(const std::string& name, const std::string& port,
                  CCommuInterface* commu) override;

    State CurrentState() const { return m_state; }
    // The name the service registered (it may have renamed it); empty until then.
    const std::string& RegisteredName() const { return m_registeredName; }

private:
    void Reply(const platform::DnsSdReply& reply);
    void Waiting(bool wasUp);
    void Refused(int error);
    void Prompt();
    void Enter(State state, int error = 0);

    RegistrationErrorPrompt* m_prompt;
    DnsSdBackoff m_backoff;
    platform::DnsSdRegistrar m_registrar;
    CCommuInterface* m_commu = nullptr;
    std::string m_name; // as shown; "." already made empty
    std::string m_port;
    State m_state = State::Idle;
    bool m_prompted = false; // the user was asked once for this server
    std::string m_registeredName;
    std::unique_ptr<platform::KeptDnsSdService> m_service;
    platform::MainThreadPoster m_poster; // last: pending calls die first
};

// Builds a DnsSdAdvertiser per server.
ServiceAdvertiserFactory MakeDnsSdAdvertiserFactory(RegistrationErrorPrompt* prompt,
                                                    DnsSdBackoff backoff = {});

} // namespace pallorwind::win
