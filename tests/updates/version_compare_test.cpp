#include "updates/version_compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrio::updates {
namespace {

// Each pair is compared both ways, which also shows the order is antisymmetric.
TEST(VersionCompareTest, OrdersPairsAndIgnoresZerosPaddingAndDecoration)
{
    struct Case {
        std::string older;
        std::string newer;
        int order;  // -1: older < newer, 0: equal
    };
    const std::string forty = "1234567890123456789012345678901234567890";
    const std::vector<Case> cases = {
        {"1.9", "1.10", -1}, {"1.2", "1.2.1", -1}, {"2.0-beta", "2.0", -1}, {"1.2b1", "1.2.0.1", -1},
        {"2.0-beta2", "2.0-beta10", -1}, {"2.0-1", "2.0-beta", -1}, {"1." + forty, "1." + forty.substr(0, 39) + "1", -1},
        {"1" + forty, forty + "9", -1}, {"01.2.0.0", "1.2", 0}, {"1.2.0-beta2", "1.2-beta2", 0}, {"2.0-BETA.1", "2.0beta1", 0},
        {" v1.2\n", "1.2", 0}, {"1.2-rc1+7", "1.2-rc1+8", 0}, {"1.000" + forty, "1." + forty, 0},
    };
    const auto sign = [](int value) { return (value > 0) - (value < 0); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.older + " / " + c.newer);
        EXPECT_EQ(sign(compareVersions(c.older, c.newer)), c.order);
        EXPECT_EQ(sign(compareVersions(c.newer, c.older)), -c.order);
    }

    // Feeds are written by hand; nothing in them may crash or hang the comparison.
    const std::vector<std::string> odd = {
        "...1", "-", "1.-2", "\xff\xfe", std::string(10000, '9'), std::string(10000, '.'), std::string("1\0002", 3),
    };
    for (const auto& a : odd)
        for (const auto& b : odd)
            EXPECT_EQ(compareVersions(a, b), -compareVersions(b, a)) << a << " / " << b;
}

}  // namespace
}  // namespace kestrio::updates
