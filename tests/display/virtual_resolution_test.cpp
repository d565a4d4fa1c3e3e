#include "display/virtual_display_error.h"
#include "display/virtual_resolution.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace kestrio::display {
namespace {

TEST(VirtualResolutionTest, CasesInOrderWithTheirSizesRawValuesAndLabels)
{
    struct Expected {
        VirtualResolution resolution;
        const char* raw;
        int width;
        int height;
        const char* label;
    };
    const Expected expected[] = {
        {VirtualResolution::fullHD, "fullHD", 1920, 1080, "1920\xC3\x97" "1080"},
        {VirtualResolution::hdPlus, "hdPlus", 1600, 900, "1600\xC3\x97" "900"},
        {VirtualResolution::hd, "hd", 1280, 720, "1280\xC3\x97" "720"},
    };
    ASSERT_EQ(allVirtualResolutions.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& e = expected[i];
        SCOPED_TRACE(e.raw);
        EXPECT_EQ(allVirtualResolutions[i], e.resolution);
        EXPECT_EQ(rawValue(e.resolution), e.raw);
        EXPECT_EQ(virtualResolutionFromRawValue(e.raw), e.resolution);
        EXPECT_EQ(width(e.resolution), e.width);
        EXPECT_EQ(height(e.resolution), e.height);
        EXPECT_EQ(refreshRate(e.resolution), 60);
        EXPECT_EQ(pickerLabel(e.resolution), e.label);
    }
    for (const char* unknown : {"", "FullHD", "fullhd", "4k", "hd "})
        EXPECT_FALSE(virtualResolutionFromRawValue(unknown)) << unknown;
}

TEST(VirtualDisplayErrorTest, KindsCarryTheirKoreanDescriptions)
{
    EXPECT_EQ(description(VirtualDisplayError::creationFailed),
              "\xEA\xB0\x80\xEC\x83\x81 \xEB\xAA\xA8\xEB\x8B\x88\xED\x84\xB0\xEB\xA5\xBC \xEB\xA7\x8C\xEB\x93\xA4 \xEC\x88\x98 "
              "\xEC\x97\x86\xEC\x8A\xB5\xEB\x8B\x88\xEB\x8B\xA4.");
    EXPECT_EQ(description(VirtualDisplayError::settingsRejected), "가상 모니터 해상도를 적용할 수 없습니다.");
    EXPECT_EQ(description(VirtualDisplayError::notVisible), "가상 모니터가 macOS에 표시되지 않았습니다.");

    VirtualDisplayException exception(VirtualDisplayError::settingsRejected);
    EXPECT_EQ(exception.error(), VirtualDisplayError::settingsRejected);
    EXPECT_EQ(std::string(exception.what()), description(VirtualDisplayError::settingsRejected));

    std::unordered_set<VirtualDisplayError> kinds{VirtualDisplayError::creationFailed, VirtualDisplayError::notVisible,
                                                  VirtualDisplayError::creationFailed};
    EXPECT_EQ(kinds.size(), 2u);
}

}  // namespace
}  // namespace kestrio::display
