#include "tools/appsim/Discovery.h"

#include <dns_sd.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

namespace pallorwind::appsim {

namespace {

using Clock = std::chrono::steady_clock;

// Owns one DNS-SD reference.
class Ref {
public:
    Ref() = default;
    ~Ref() {
        if (m_ref)
            DNSServiceRefDeallocate(m_ref);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    DNSServiceRef* Out() { return &m_ref; }

    // Reads the service's answers until `done()` or `deadline`; false on
    // timeout or when the answers cannot be read.
    bool ProcessUntil(const std::function<bool()>& done, Clock::time_point deadline) {
        pollfd p{DNSServiceRefSockFD(m_ref), POLLIN, 0};
        while (!done()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            const int n = ::poll(&p, 1, int(left));
            if (n < 0 && errno != EINTR)
                return false;
            if (n > 0 && DNSServiceProcessResult(m_ref) != kDNSServiceErr_NoError)
                return false;
        }
        return true;
    }

private:
    DNSServiceRef m_ref = nullptr;
};

std::string ErrorText(const char* what, int error) {
    return std::string(what) + " failed (DNS-SD error " + std::to_string(error) +
           (error == kDNSServiceErr_Unknown ? ": is the DNS-SD daemon running?)" : ")");
}

struct BrowseState {
    std::vector<FoundService> found;
    int error = kDNSServiceErr_NoError;
};

void DNSSD_API OnBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                        DNSServiceErrorType error, const char* name, const char* type,
                        const char* domain, void* context) {
    auto* state = static_cast<BrowseState*>(context);
    if (error != kDNSServiceErr_NoError) {
        state->error = error;
        return;
    }
    auto same = [&](const FoundService& s) {
        return s.name == name && s.interfaceIndex == interfaceIndex && s.domain == domain;
    };
    std::erase_if(state->found, same);
    if (flags & kDNSServiceFlagsAdd) {
        FoundService service;
        service.name = name;
        service.type = type;
        service.domain = domain;
        service.interfaceIndex = interfaceIndex;
        state->found.push_back(std::move(service));
    }
}

struct ResolveState {
    FoundService* service;
    bool done = false;
    int error = kDNSServiceErr_NoError;
};

void DNSSD_API OnResolve(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error,
                         const char*, const char* host, uint16_t port, uint16_t txtLength,
                         const unsigned char* txt, void* context) {
    auto* state = static_cast<ResolveState*>(context);
    state->done = true;
    state->error = error;
    if (error != kDNSServiceErr_NoError)
        return;
    state->service->host = host;
    std::memcpy(state->service->portBytes, &port, 2);
    state->service->port = ntohs(port);
    state->service->txt.assign(reinterpret_cast<const char*>(txt), txt ? txtLength : 0);
}

void DNSSD_API OnAddress(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error,
                         const char*, uint16_t type, uint16_t, uint16_t length, const void* data,
                         uint32_t, void* context) {
    auto* address = static_cast<std::string*>(context);
    if (error != kDNSServiceErr_NoError || type != kDNSServiceType_A || length != 4)
        return;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, data, text, sizeof text);
    *address = text;
}

// The host's IPv4 address through DNS-SD, else through the system's resolver.
std::string LookUpAddress(const FoundService& service, Clock::time_point deadline) {
    std::string address;
    Ref query;
    if (DNSServiceQueryRecord(query.Out(), 0, service.interfaceIndex, service.host.c_str(),
                              kDNSServiceType_A, kDNSServiceClass_IN, &OnAddress,
                              &address) == kDNSServiceErr_NoError &&
        query.ProcessUntil([&] { return !address.empty(); }, deadline))
        return address;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(service.host.c_str(), nullptr, &hints, &list) == 0 && list) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr, text,
                    sizeof text);
        address = text;
    }
    if (list)
        ::freeaddrinfo(list);
    return address;
}

void Resolve(FoundService& service, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    Ref ref;
    ResolveState state{&service};
    const int error =
        DNSServiceResolve(ref.Out(), 0, service.interfaceIndex, service.name.c_str(),
                          service.type.c_str(), service.domain.c_str(), &OnResolve, &state);
    if (error != kDNSServiceErr_NoError)
        throw DiscoveryError(ErrorText("resolving", error));
    if (!ref.ProcessUntil([&] { return state.done; }, deadline) ||
        state.error != kDNSServiceErr_NoError)
        throw DiscoveryError("could not resolve \"" + service.name + "\"");
    service.address = LookUpAddress(service, deadline);
}

constexpr std::chrono::milliseconds kResolveTimeout{5000};

} // namespace

std::vector<FoundService> BrowseServices(const std::string& type,
                                         std::chrono::milliseconds duration) {
    BrowseState state;
    Ref ref;
    const int error = DNSServiceBrowse(ref.Out(), 0, 0, type.c_str(), nullptr, &OnBrowse, &state);
    if (error != kDNSServiceErr_NoError)
        throw DiscoveryError(ErrorText("browsing", error));
    ref.ProcessUntil([&] { return state.error != kDNSServiceErr_NoError; },
                     Clock::now() + duration);
    if (state.error != kDNSServiceErr_NoError)
        throw DiscoveryError(ErrorText("browsing", state.error));
    std::vector<FoundService> resolved;
    for (FoundService& service : state.found) {
        try {
            Resolve(service, kResolveTimeout);
            resolved.push_back(std::move(service));
        } catch (const DiscoveryError&) {
            // gone meanwhile
        }
    }
    return resolved;
}

FoundService FindService(const std::string& name, const std::string& type,
                         std::chrono::milliseconds timeout) {
    BrowseState state;
    Ref ref;
    const int error = DNSServiceBrowse(ref.Out(), 0, 0, type.c_str(), nullptr, &OnBrowse, &state);
    if (error != kDNSServiceErr_NoError)
        throw DiscoveryError(ErrorText("browsing", error));
    auto match = [&] {
        return std::find_if(state.found.begin(), state.found.end(),
                            [&](const FoundService& s) { return s.name == name; });
    };
    ref.ProcessUntil(
        [&] { return state.error != kDNSServiceErr_NoError || match() != state.found.end(); },
        Clock::now() + timeout);
    if (state.error != kDNSServiceErr_NoError)
        throw DiscoveryError(ErrorText("browsing", state.error));
    const auto it = match();
    if (it == state.found.end()) {
        // What was there instead (each name once, though seen on several
        // interfaces), as --browse would name it.
        std::vector<std::string> names;
        std::string seen;
        for (const FoundService& other : state.found) {
            if (std::find(names.begin(), names.end(), other.name) != names.end())
                continue;
            names.push_back(other.name);
            seen += (seen.empty() ? "\"" : ", \"") + other.name + '"';
        }
        throw DiscoveryError("no bridge called \"" + name + "\" found; " +
                             (seen.empty() ? "no bridge found at all" : "found " + seen));
    }
    FoundService service = *it;
    Resolve(service, kResolveTimeout);
    return service;
}

} // namespace pallorwind::appsim
