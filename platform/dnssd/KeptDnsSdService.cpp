#include "platform/dnssd/DnsSd.h"

#include "platform/app/SingleShotTimer.h"
#include "platform/net/Backoff.h"

#include <utility>

namespace pallorwind::platform {

struct KeptDnsSdService::Retry {
    Retry(std::chrono::milliseconds first, std::chrono::milliseconds longest)
        : backoff(first, longest) {}
    Backoff backoff;
    SingleShotTimer timer;
};

KeptDnsSdService::KeptDnsSdService(DnsSdService service, Events events, DnsSdRegistrar registrar,
                                   std::chrono::milliseconds first,
                                   std::chrono::milliseconds longest)
    : m_service(std::move(service)), m_events(std::move(events)), m_registrar(std::move(registrar)),
      m_retry(std::make_unique<Retry>(first, longest)) {
}

KeptDnsSdService::~KeptDnsSdService() {
    m_retry->timer.Stop();
    m_registration.reset(); // withdraws; no reply arrives afterwards
}

void KeptDnsSdService::Start() {
    Register();
}

void KeptDnsSdService::Register() {
    m_state = State::Pending;
    m_registration.reset();
    auto result = m_registrar(m_service, [this](const DnsSdReply& reply) { Replied(reply); });
    if (result.error != kDnsSdNoError || !result.registration) {
        Wait(result.error != kDnsSdNoError ? result.error : kDnsSdServiceNotRunning);
        return;
    }
    m_registration = std::move(result.registration);
}

void KeptDnsSdService::Replied(const DnsSdReply& reply) {
    if (m_events.reply)
        m_events.reply(reply); // diagnostics only: it withdraws nothing
    if (reply.error == kDnsSdNoError) {
        m_state = State::Registered;
        m_wasUp = true;
        m_retry->backoff.Reset();
        // Copies: a receiver may withdraw this service from inside.
        if (const auto registered = m_events.registered)
            registered(reply.name);
        return;
    }
    if (reply.error == kDnsSdNameConflict || reply.error == kDnsSdBadParam) {
        // Asking again would get the same answer.
        m_state = State::Refused;
        m_retry->timer.Stop();
        if (const auto refused = m_events.refused)
            refused(reply.error);
        return;
    }
    if (reply.last)
        Wait(reply.error); // the registration is dead: come back with the service
}

void KeptDnsSdService::Wait(int error) {
    const bool wasUp = m_wasUp;
    m_wasUp = false;
    m_state = State::Waiting;
    // Possibly inside its own reply, which allows it: it is dead anyway.
    m_registration.reset();
    m_retry->timer.Start(m_retry->backoff.Next(), [this] { Register(); });
    if (const auto waiting = m_events.waiting)
        waiting(error, wasUp);
}

} // namespace pallorwind::platform
