#pragma once

#include <QString>

namespace kestrio::window {

// The families tried for the Korean lines, in order of preference.
inline constexpr const char* preferredKoreanFamilies[] = {"NanumGothic", "NanumBarunGothic"};

// The first preferred family the font database has; else the system's default family, with
// which the font matcher still falls back per glyph. Needs the QGuiApplication.
QString chooseKoreanFontFamily();

}  // namespace kestrio::window
