#include "updates/version_compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrio::updates {
namespace {

struct Ordered {
    std::string older;
    std::string newer;
};

// Each pair is checked both ways, which also shows the order is antisymmetric.
TEST(VersionCompareTest, OrdersPairs)
{
    const std::string forty = "1234567890123456789012345678901234567890";
    const std::vector<Ordered> pairs = {
        {"1.9", "1.10"},
        {"1.2", "1.2.1"},
        {"2.0-beta", "2.0"},
        {"1.2b1", "1.2.0.1"},
        {"2.0-beta2", "2.0-beta10"},
        {"2.0-1", "2.0-beta"},
        {"1." + forty, "1." + forty.substr(0, 39) + "1"},
        {"1" + forty, forty + "9"},
    };
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.older + " < " + pair.newer);
        EXPECT_LT(compareVersions(pair.older, pair.newer), 0);
        EXPECT_GT(compareVersions(pair.newer, pair.older), 0);
    }
}

TEST(VersionCompareTest, EqualsIgnoreZerosPaddingAndDecoration)
{
    const std::string forty = "1234567890123456789012345678901234567890";
    const std::vector<Ordered> pairs = {
        {"01.2.0.0", "1.2"},
        {"1.2.0-beta2", "1.2-beta2"},
        {"2.0-BETA.1", "2.0beta1"},
        {" v1.2\n", "1.2"},
        {"1.2-rc1+7", "1.2-rc1+8"},
        {"1.000" + forty, "1." + forty},
    };
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.older + " == " + pair.newer);
        EXPECT_EQ(compareVersions(pair.older, pair.newer), 0);
        EXPECT_EQ(compareVersions(pair.newer, pair.older), 0);
    }
}

// Feeds are written by hand; nothing in them may crash or hang the comparison.
TEST(VersionCompareTest, AcceptsAnyText)
{
    const std::vector<std::string> odd = {
        "...1", "-", "1.-2", "\xff\xfe", std::string(10000, '9'), std::string(10000, '.'), std::string("1\0002", 3),
    };
    for (const auto& a : odd)
        for (const auto& b : odd) {
            const int forward = compareVersions(a, b);
            const int backward = compareVersions(b, a);
            EXPECT_EQ(forward, -backward) << a << " / " << b;
        }
}

}  // namespace
}  // namespace kestrio::updates
