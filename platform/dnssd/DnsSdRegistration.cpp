#include "platform/dnssd/DnsSd.h"

#include "platform/net/MainThreadPoster.h"

#include <dns_sd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

namespace pallorwind::platform {

void QuietDnsSdLibrary() {
    ::setenv("AVAHI_COMPAT_NOWARN", "1", /*overwrite*/ 0);
}

namespace {

class Registration final : public DnsSdRegistration {
public:
    explicit Registration(DnsSdReplyHandler onReply) : m_onReply(std::move(onReply)) {}

    int Start(const DnsSdService& service) {
        if (::pipe2(m_wake, O_CLOEXEC) != 0)
            return kDnsSdServiceNotRunning;
        // The computer's default name is asked for with a null name: the
        // service refuses an empty one.
        const int error = DNSServiceRegister(
            &m_ref, 0, 0, service.name.empty() ? nullptr : service.name.c_str(),
            service.type.c_str(), nullptr, nullptr, htons(service.port),
            std::uint16_t(service.txt.size()), service.txt.empty() ? "" : service.txt.data(),
            &Registration::Reply, this);
        if (error != kDNSServiceErr_NoError) {
            m_ref = nullptr;
            return error;
        }
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            DNSServiceRefDeallocate(m_ref); // nobody would read its answers
            m_ref = nullptr;
            return kDnsSdServiceNotRunning;
        }
        return kDnsSdNoError;
    }

    ~Registration() override {
        if (m_thread.joinable()) {
            const char wake = 1;
            while (::write(m_wake[1], &wake, 1) < 0 && errno == EINTR) {
            }
            m_thread.join();
        }
        // Only now: processing a deallocated reference aborts the process.
        if (m_ref)
            DNSServiceRefDeallocate(m_ref);
        for (int fd : m_wake)
            if (fd >= 0)
                ::close(fd);
    }

private:
    static void DNSSD_API Reply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error,
                                const char* name, const char* type, const char* domain,
                                void* context) {
        auto* self = static_cast<Registration*>(context);
        DnsSdReply reply{error,
                         name ? name : "",
                         type ? type : "",
                         domain ? domain : "",
                         true,
                         error == kDnsSdServiceNotRunning};
        self->m_serviceGone = reply.last;
        self->Post(std::move(reply));
    }

    void Post(DnsSdReply reply) {
        m_poster.Post([this, reply = std::move(reply)] {
            // A copy: the handler may withdraw this very registration.
            const DnsSdReplyHandler handler = m_onReply;
            handler(reply);
        });
    }

    // The processing thread: sleeps until the service says something or the
    // registration is withdrawn.
    void Run() {
        ::pthread_setname_np(::pthread_self(), kDnsSdThreadName);
        pollfd fds[2] = {{DNSServiceRefSockFD(m_ref), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (fds[0].fd < 0) {
            Post({kDnsSdServiceNotRunning, {}, {}, {}, false, true});
            return;
        }
        while (true) {
            fds[0].revents = fds[1].revents = 0;
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                Post({kDnsSdServiceNotRunning, {}, {}, {}, false, true});
                return;
            }
            if (fds[1].revents != 0)
                return; // withdrawn
            if (fds[0].revents == 0)
                continue;
            const int error = DNSServiceProcessResult(m_ref);
            if (error != kDNSServiceErr_NoError) {
                std::fprintf(stderr, "DNSServiceProcessResult returned %d\n", error);
                Post({error, {}, {}, {}, false, true});
                return;
            }
            if (m_serviceGone)
                return; // its socket stays readable; nothing more will come
        }
    }

    DnsSdReplyHandler m_onReply;
    MainThreadPoster m_poster;
    DNSServiceRef m_ref = nullptr;
    int m_wake[2] = {-1, -1};
    bool m_serviceGone = false; // the processing thread's own
    std::thread m_thread;
};

} // namespace

DnsSdRegisterResult RegisterDnsSdService(const DnsSdService& service, DnsSdReplyHandler onReply) {
    auto registration = std::make_unique<Registration>(std::move(onReply));
    DnsSdRegisterResult result;
    result.error = registration->Start(service);
    if (result.error == kDnsSdNoError)
        result.registration = std::move(registration);
    return result;
}

} // namespace pallorwind::platform
