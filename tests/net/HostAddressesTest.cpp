// The computer's addresses as the tray menu shows them.
#include "platform/net/HostAddresses.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <set>

namespace pallorwind::platform {
namespace {

TEST(HostAddresses, DottedIpv4WithoutLoopbackEachOnceInAStableOrder) {
    const auto addresses = HostAddresses();
    ASSERT_TRUE(addresses.has_value());
    for (const std::string& address : *addresses) {
        in_addr parsed{};
        EXPECT_EQ(::inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
        EXPECT_NE(address.rfind("127.", 0), 0u) << address;
    }
    EXPECT_EQ(std::set<std::string>(addresses->begin(), addresses->end()).size(),
              addresses->size());
    EXPECT_EQ(HostAddresses(), addresses);
}

} // namespace
} // namespace pallorwind::platform
