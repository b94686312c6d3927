// Finding bridges by DNS-SD, as the app does: browse for the service type,
// resolve a service to its host and port, look the host's address up.
#pragma once

#include "protocol/ServiceType.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pallorwind::appsim {

inline constexpr const char* kBridgeServiceType = protocol::kServiceType;

// The DNS-SD service could not be asked, or a service could not be resolved.
class DiscoveryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FoundService {
    std::string name, type, domain;
    std::uint32_t interfaceIndex = 0;
    // Filled in by resolving:
    std::string host; // the SRV target, "name.local."
    std::uint16_t port = 0;
    std::uint8_t portBytes[2] = {0, 0}; // as the service sent them (network order)
    std::string txt;                    // the TXT record's data
    std::string address;                // IPv4 address of the host; empty if none was found
};

// Every service of `type` seen within `duration`, each resolved (those that
// could not be resolved are left out). Throws DiscoveryError when there is no
// DNS-SD service to ask.
std::vector<FoundService> BrowseServices(const std::string& type,
                                         std::chrono::milliseconds duration);

// Waits up to `timeout` for a service called `name` and resolves it. Throws
// DiscoveryError when it did not show up (naming the services that did) or
// could not be resolved.
FoundService FindService(const std::string& name, const std::string& type,
                         std::chrono::milliseconds timeout);

} // namespace pallorwind::appsim
