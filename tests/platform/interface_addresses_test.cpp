#include "platform/linux/interface_addresses.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrio::platform {
namespace {

TEST(InterfaceAddresses, EveryAddressLiesInOneOfTheSubnetsLoopbackIncluded)
{
    const auto addresses = interfaceAddresses();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    const auto subnets = interfaceSubnets();
    const auto loopback = std::find_if(subnets.begin(), subnets.end(), [](const link::Subnet& subnet) {
        return subnet.network == asio::ip::make_address("127.0.0.1");
    });
    ASSERT_NE(loopback, subnets.end());
    EXPECT_EQ(loopback->prefixLength, 8u);
    for (const auto& text : addresses) {
        EXPECT_EQ(text.find('%'), std::string::npos) << text;
        const auto address = asio::ip::make_address(text);
        EXPECT_TRUE(std::any_of(subnets.begin(), subnets.end(), [&](const link::Subnet& subnet) {
            return link::contains(subnet, address) && subnet.prefixLength <= (address.is_v4() ? 32u : 128u);
        })) << text;
    }
}

}  // namespace
}  // namespace kestrio::platform
