#include "win/net/DnsSdAdvertiser.h"

#include "win/net/CCommuInterface.h"
#include "win/net/TCPServer.h"

#include <algorithm>
#include <cstdio>

namespace pallorwind::win {

DnsSdAdvertiser::DnsSdAdvertiser(RegistrationErrorPrompt* prompt, DnsSdBackoff backoff)
    : m_prompt(prompt), m_backoff(backoff), m_nextDelay(backoff.first) {
}

DnsSdAdvertiser::~DnsSdAdvertiser() {
    m_retry.Stop();
    m_registration.reset(); // withdraws; its thread has ended when this returns
}

bool DnsSdAdvertiser::Register(const std::string& name, const std::string& port,
                               CCommuInterface* commu) {
    m_commu = commu;
    m_name = name == "." ? std::string() : name;
    m_port = port;
    // One line: the name, type and domain, then the port and the (empty) TXT.
    std::fprintf(stderr, "Registering Service %s.%s%s port %s %s\n", m_name.c_str(), kServiceType,
                 "", m_port.c_str(), "");

    const int error = RegisterService();
    if (error == platform::kDnsSdNoError) {
        Enter(State::Pending);
        return true;
    }
    if (error == platform::kDnsSdNameConflict) {
        // Another registration of this daemon holds the name with other data.
        std::fprintf(stderr, "Name in use, please choose another\n");
        Refuse();
        return false;
    }
    if (error == platform::kDnsSdBadParam)
        Enter(State::Failed, error);
    else
        ScheduleRetry();

    // Once per server start, however often it is tried again.
    if (m_prompt && m_commu && m_commu->GetDisplayBonjourMsg()) {
        CCommuInterface* const controller = m_commu;
        m_prompt->AskRegistrationError([controller](bool ok, bool dontShowAgain) {
            if (ok)
                controller->SetDisplayBonjourMsg(!dontShowAgain);
        });
    }
    return false;
}

int DnsSdAdvertiser::RegisterService() {
    platform::DnsSdService service;
    service.name = m_name; // empty: the computer's default name
    service.type = kServiceType;
    service.port = TCPServer::ParsePort(m_port);
    auto result = platform::RegisterDnsSdService(
        service, [this](const platform::DnsSdReply& reply) { RegisterReply(reply); });
    m_registration = std::move(result.registration);
    return result.error;
}

void DnsSdAdvertiser::RegisterReply(const platform::DnsSdReply& reply) {
    if (reply.fromService) {
        std::fprintf(stderr, "Got a reply for %s.%s%s: ", reply.name.c_str(), reply.type.c_str(),
                     reply.domain.c_str());
        if (reply.error == platform::kDnsSdNoError) {
            std::fprintf(stderr, "Name now registered and active\n");
        } else if (reply.error == platform::kDnsSdNameConflict) {
            std::fprintf(stderr, "Name in use, please choose another\n");
        } else {
            std::fprintf(stderr, "Error %d\n", reply.error);
        }
    }
    if (reply.error == platform::kDnsSdNoError) {
        // The controller keeps showing the name it asked for, even when the
        // service had to rename it.
        m_registeredName = reply.name;
        m_nextDelay = m_backoff.first;
        Enter(State::Registered);
    } else if (reply.error == platform::kDnsSdNameConflict) {
        Refuse();
    } else if (reply.last) {
        // The service went away: the registration is dead, come back with it.
        m_registration.reset();
        ScheduleRetry();
    }
}

void DnsSdAdvertiser::ScheduleRetry() {
    Enter(State::Waiting);
    const auto delay = m_nextDelay;
    m_nextDelay = std::min(m_nextDelay * 2, m_backoff.longest);
    m_retry.Start(delay, [this] {
        const int error = RegisterService();
        if (error == platform::kDnsSdNoError)
            Enter(State::Pending);
        else if (error == platform::kDnsSdNameConflict)
            Refuse();
        else
            ScheduleRetry();
    });
}

void DnsSdAdvertiser::Refuse() {
    Enter(State::Refused);
    m_retry.Stop();
    // Posted: the controller deletes the server, and with it this advertiser,
    // which must not happen inside our own call. Dropped if we go first.
    CCommuInterface* const controller = m_commu;
    m_poster.Post([controller] {
        if (controller)
            controller->OnServerFailed();
    });
}

void DnsSdAdvertiser::Enter(State state, int error) {
    if (state == m_state)
        return;
    const State before = m_state;
    m_state = state;
    switch (state) {
    case State::Registered:
        std::fprintf(stderr, "pallorwind: found as \"%s\" (%s) on TCP port %s\n",
                     m_registeredName.c_str(), kServiceType, m_port.c_str());
        break;
    case State::Waiting:
        if (before == State::Registered || before == State::Pending)
            std::fprintf(stderr, "pallorwind: DNS-SD went away; registering again when it "
                                 "is back (apps connect by address meanwhile)\n");
        else
            std::fprintf(stderr, "pallorwind: DNS-SD is not available; registering when it "
                                 "is (apps connect by address meanwhile)\n");
        break;
    case State::Failed:
        std::fprintf(stderr, "pallorwind: the name \"%s\" cannot be registered (error %d)\n",
                     m_name.c_str(), error);
        break;
    case State::Idle:
    case State::Pending:
    case State::Refused:
        break;
    }
}

ServiceAdvertiserFactory MakeDnsSdAdvertiserFactory(RegistrationErrorPrompt* prompt,
                                                    DnsSdBackoff backoff) {
    return [prompt, backoff] { return std::make_unique<DnsSdAdvertiser>(prompt, backoff); };
}

} // namespace pallorwind::win
