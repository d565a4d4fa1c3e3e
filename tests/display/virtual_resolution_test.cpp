#include "display/virtual_resolution.h"

#include <gtest/gtest.h>

namespace kestrio::display {
namespace {

// Raw values are what the settings file keeps: each reads back as itself, and nothing else reads.
TEST(VirtualResolutionTest, RawValuesReadBackAndNothingElseDoes)
{
    for (auto resolution : allVirtualResolutions)
        EXPECT_EQ(virtualResolutionFromRawValue(rawValue(resolution)), resolution) << rawValue(resolution);
    for (const char* unknown : {"", "FullHD", "fullhd", "4k", "hd "})
        EXPECT_FALSE(virtualResolutionFromRawValue(unknown)) << unknown;
}

}  // namespace
}  // namespace kestrio::display
