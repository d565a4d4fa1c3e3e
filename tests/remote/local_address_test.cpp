#include "remote/local_address.h"

#include <gtest/gtest.h>

namespace kestrio::remote {
namespace {

TEST(LocalAddress, FirstAddressThatIsNeitherIPv6LoopbackNorLinkLocal)
{
    EXPECT_EQ(chooseLocalAddress({"::1", "127.0.0.1", "fe80::1", "169.254.3.4", "10.0.0.7", "192.168.1.2"}), "10.0.0.7");
    // Only the exact loopback text is skipped, and any IPv6 form, mapped ones included.
    EXPECT_EQ(chooseLocalAddress({"::ffff:192.168.1.2", "127.0.0.2"}), "127.0.0.2");
    // Public and private ranges are not told apart; the system's order decides.
    EXPECT_EQ(chooseLocalAddress({"203.0.113.9", "192.168.1.2"}), "203.0.113.9");
    EXPECT_EQ(chooseLocalAddress({"169.254.0.1", "127.0.0.1", "::1"}), std::nullopt);
    EXPECT_EQ(chooseLocalAddress({}), std::nullopt);
}

}  // namespace
}  // namespace kestrio::remote
