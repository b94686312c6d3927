#include "platform/net/HostAddresses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace pallorwind::platform {

std::optional<std::vector<std::string>> HostAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    struct Found {
        unsigned index;
        std::size_t order;
        std::string address;
    };
    std::vector<Found> found;
    for (const ifaddrs* at = list; at; at = at->ifa_next) {
        // Only interfaces that are up and have a carrier: no bridge without
        // members, no unplugged cable.
        const unsigned live = IFF_UP | IFF_RUNNING;
        if (!at->ifa_addr || at->ifa_addr->sa_family != AF_INET || (at->ifa_flags & live) != live ||
            (at->ifa_flags & IFF_LOOPBACK))
            continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(at->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        if (!::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            continue;
        found.push_back({::if_nametoindex(at->ifa_name), found.size(), text});
    }
    ::freeifaddrs(list);
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.index != b.index ? a.index < b.index : a.order < b.order;
    });
    std::vector<std::string> addresses;
    for (Found& f : found)
        if (std::find(addresses.begin(), addresses.end(), f.address) == addresses.end())
            addresses.push_back(std::move(f.address));
    return addresses;
}

} // namespace pallorwind::platform
