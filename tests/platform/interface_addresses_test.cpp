#include "platform/linux/interface_addresses.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrio::platform {
namespace {

TEST(InterfaceAddresses, ListsTheLoopbackInterface)
{
    const auto addresses = interfaceAddresses();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    for (const auto& address : addresses)
        EXPECT_EQ(address.find('%'), std::string::npos) << address;
}

}  // namespace
}  // namespace kestrio::platform
