#include "win/net/DnsSdAdvertiser.h"

#include "platform/app/Log.h"

#include "win/net/CCommuInterface.h"
#include "win/net/TCPServer.h"

#include <cstdio>

namespace pallorwind::win {

DnsSdAdvertiser::DnsSdAdvertiser(RegistrationErrorPrompt* prompt, DnsSdBackoff backoff,
                                 platform::DnsSdRegistrar registrar)
    : m_prompt(prompt), m_backoff(backoff), m_registrar(std::move(registrar)) {
}

DnsSdAdvertiser::~DnsSdAdvertiser() {
    m_service.reset(); // withdraws; no reply arrives afterwards
}

bool DnsSdAdvertiser::Register(const std::string& name, const std::string& port,
                               CCommuInterface* commu) {
    m_commu = commu;
    m_name = name == "." ? std::string() : name;
    m_port = port;
    // One line: the name, type and domain, then the port and the (empty) TXT.
    platform::Log::Rawf("Registering Service %s.%s%s port %s %s", m_name.c_str(), kServiceType, "",
                        m_port.c_str(), "");

    platform::DnsSdService service;
    service.name = m_name; // empty: the computer's default name
    service.type = kServiceType;
    service.port = TCPServer::ParsePort(m_port);
    platform::KeptDnsSdService::Events events;
    events.reply = [this](const platform::DnsSdReply& reply) { Reply(reply); };
    events.registered = [this](const std::string& registered) {
        // The controller keeps showing the name it asked for, even when the
        // service had to rename it.
        m_registeredName = registered;
        Enter(State::Registered);
    };
    events.waiting = [this](int, bool wasUp) { Waiting(wasUp); };
    events.refused = [this](int error) { Refused(error); };
    m_service = std::make_unique<platform::KeptDnsSdService>(
        std::move(service), std::move(events), m_registrar, m_backoff.first, m_backoff.longest);
    Enter(State::Pending);
    m_service->Start();
    return true;
}

void DnsSdAdvertiser::Reply(const platform::DnsSdReply& reply) {
    if (!reply.fromService)
        return;
    const std::string outcome =
        reply.error == platform::kDnsSdNoError        ? "Name now registered and active"
        : reply.error == platform::kDnsSdNameConflict ? "Name in use, please choose another"
                                                      : "Error " + std::to_string(reply.error);
    platform::Log::Rawf("Got a reply for %s.%s%s: %s", reply.name.c_str(), reply.type.c_str(),
                        reply.domain.c_str(), outcome.c_str());
}

void DnsSdAdvertiser::Waiting(bool wasUp) {
    const State before = m_state;
    Enter(State::Waiting);
    // The registration could not be made: the user is asked once per
    // server, however often it is tried again.
    if (!wasUp && before == State::Pending)
        Prompt();
}

void DnsSdAdvertiser::Refused(int error) {
    if (error == platform::kDnsSdNameConflict) {
        // Another registration of this daemon holds the name with other data.
        if (m_state == State::Pending)
            platform::Log::Raw("Name in use, please choose another");
        Enter(State::Refused);
        // Posted: the controller deletes the server, and with it this
        // advertiser, which must not happen inside our own call. Dropped if
        // we go first.
        CCommuInterface* const controller = m_commu;
        m_poster.Post([controller] {
            if (controller)
                controller->OnServerFailed();
        });
        return;
    }
    Enter(State::Failed, error);
    Prompt();
}

void DnsSdAdvertiser::Prompt() {
    if (m_prompted || !m_prompt || !m_commu || !m_commu->GetDisplayBonjourMsg())
        return;
    m_prompted = true;
    CCommuInterface* const controller = m_commu;
    m_prompt->AskRegistrationError([controller](bool ok, bool dontShowAgain) {
        if (ok)
            controller->SetDisplayBonjourMsg(!dontShowAgain);
    });
}

void DnsSdAdvertiser::Enter(State state, int error) {
    if (state == m_state)
        return;
    const State before = m_state;
    m_state = state;
    switch (state) {
    case State::Registered:
        platform::Log::Linef("found as \"%s\" (%s) on TCP port %s", m_registeredName.c_str(),
                             kServiceType, m_port.c_str());
        break;
    case State::Waiting:
        if (before == State::Registered)
            platform::Log::Line("DNS-SD went away; registering again when it is back (apps "
                                "connect by address meanwhile)");
        else
            platform::Log::Line("DNS-SD is not available; registering when it is (apps connect "
                                "by address meanwhile)");
        break;
    case State::Failed:
        platform::Log::Linef("the name \"%s\" cannot be registered (error %d)", m_name.c_str(),
                             error);
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
