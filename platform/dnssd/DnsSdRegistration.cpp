#include "platform/dnssd/DnsSd.h"

#include "platform/app/Log.h"

#include "platform/app/MainThreadPoster.h"

#include <dns_sd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace pallorwind::platform {

void QuietDnsSdLibrary() {
    ::setenv("AVAHI_COMPAT_NOWARN", "1", /*overwrite*/ 0);
}

namespace {

class Registration;

// What a registration and its processing thread share. The thread may
// outlive the registration: a registration withdrawn while its call to the
// DNS-SD service is still waiting leaves the rest to the thread.
struct Shared {
    ~Shared() {
        for (int fd : wake)
            if (fd >= 0)
                ::close(fd);
    }

    enum class Step { Registering, Processing };

    std::mutex lock;
    Step step = Step::Registering; // guarded by lock
    bool withdrawn = false;        // guarded by lock
    Registration* owner = nullptr; // guarded by lock; null once withdrawn
    DNSServiceRef ref = nullptr;   // set by the thread before Processing
    int wake[2] = {-1, -1};
    bool serviceGone = false; // the processing thread's own
};

class Registration final : public DnsSdRegistration {
public:
    explicit Registration(DnsSdReplyHandler onReply)
        : m_onReply(std::move(onReply)), m_shared(std::make_shared<Shared>()) {
        m_shared->owner = this;
    }

    // False when no thread can be made.
    bool Start(const DnsSdService& service) {
        if (::pipe2(m_shared->wake, O_CLOEXEC) != 0)
            return false;
        try {
            m_thread = std::thread(&Registration::Run, m_shared, service);
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    ~Registration() override {
        if (!m_thread.joinable())
            return;
        Shared& shared = *m_shared;
        bool registering = false;
        {
            std::lock_guard lock(shared.lock);
            shared.withdrawn = true;
            shared.owner = nullptr;
            registering = shared.step == Shared::Step::Registering;
        }
        if (registering) {
            // Its call to the service has not returned: the thread withdraws
            // what it gets and ends on its own. Nobody waits for it.
            m_thread.detach();
            return;
        }
        const char wake = 1;
        while (::write(shared.wake[1], &wake, 1) < 0 && errno == EINTR) {
        }
        m_thread.join();
        // Only now: processing a deallocated reference aborts the process.
        if (shared.ref)
            DNSServiceRefDeallocate(shared.ref);
    }

private:
    static void DNSSD_API Reply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error,
                                const char* name, const char* type, const char* domain,
                                void* context) {
        auto* shared = static_cast<Shared*>(context);
        DnsSdReply reply{error,
                         name ? name : "",
                         type ? type : "",
                         domain ? domain : "",
                         true,
                         error == kDnsSdServiceNotRunning};
        shared->serviceGone = reply.last;
        Post(*shared, std::move(reply));
    }

    static void Post(Shared& shared, DnsSdReply reply) {
        std::lock_guard lock(shared.lock);
        Registration* self = shared.owner;
        if (!self)
            return; // withdrawn: nobody listens
        // `self` is valid whenever the call runs: the poster is the
        // registration's own and drops what is pending when it goes.
        self->m_poster.Post([self, reply = std::move(reply)] {
            // A copy: the handler may withdraw this very registration.
            const DnsSdReplyHandler handler = self->m_onReply;
            handler(reply);
        });
    }

    // The processing thread: makes the registration, then sleeps until the
    // service says something or the registration is withdrawn.
    static void Run(std::shared_ptr<Shared> keep, DnsSdService service) {
        Shared& shared = *keep;
        DNSServiceRef ref = nullptr;
        // The computer's default name is asked for with a null name: the
        // service refuses an empty one.
        const int error = DNSServiceRegister(
            &ref, 0, 0, service.name.empty() ? nullptr : service.name.c_str(), service.type.c_str(),
            nullptr, nullptr, htons(service.port), std::uint16_t(service.txt.size()),
            service.txt.empty() ? "" : service.txt.data(), &Registration::Reply, keep.get());
        // Named only now: the library's own threads, made by the call above,
        // take the name of the thread that made them.
        ::pthread_setname_np(::pthread_self(), kDnsSdThreadName);
        {
            std::lock_guard lock(shared.lock);
            if (shared.withdrawn) {
                if (error == kDNSServiceErr_NoError && ref)
                    DNSServiceRefDeallocate(ref);
                return;
            }
            shared.step = Shared::Step::Processing;
            shared.ref = error == kDNSServiceErr_NoError ? ref : nullptr;
        }
        if (error != kDNSServiceErr_NoError || !ref) {
            Post(shared, {error != kDNSServiceErr_NoError ? error : kDnsSdServiceNotRunning,
                          {},
                          {},
                          {},
                          false,
                          true});
            return;
        }
        pollfd fds[2] = {{DNSServiceRefSockFD(ref), POLLIN, 0}, {shared.wake[0], POLLIN, 0}};
        if (fds[0].fd < 0) {
            Post(shared, {kDnsSdServiceNotRunning, {}, {}, {}, false, true});
            return;
        }
        while (true) {
            fds[0].revents = fds[1].revents = 0;
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                Post(shared, {kDnsSdServiceNotRunning, {}, {}, {}, false, true});
                return;
            }
            if (fds[1].revents != 0)
                return; // withdrawn
            if (fds[0].revents == 0)
                continue;
            const int result = DNSServiceProcessResult(ref);
            if (result != kDNSServiceErr_NoError) {
                Log::Rawf("DNSServiceProcessResult returned %d", result);
                Post(shared, {result, {}, {}, {}, false, true});
                return;
            }
            if (shared.serviceGone)
                return; // its socket stays readable; nothing more will come
        }
    }

    DnsSdReplyHandler m_onReply;
    MainThreadPoster m_poster;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

} // namespace

DnsSdRegisterResult RegisterDnsSdService(const DnsSdService& service, DnsSdReplyHandler onReply) {
    auto registration = std::make_unique<Registration>(std::move(onReply));
    DnsSdRegisterResult result;
    if (registration->Start(service))
        result.registration = std::move(registration);
    else
        result.error = kDnsSdServiceNotRunning;
    return result;
}

} // namespace pallorwind::platform
