#pragma once

#include <optional>
#include <string_view>

namespace kestrio::capture {

// How much picture the stream carries: the output width cap, the H.264 bit rate and the JPEG
// quality all follow from it.
enum class StreamQuality { dataSaver, balanced, sharp };

// Frames per second; the value is the rate.
enum class StreamFrameRate { thirty = 30, sixty = 60 };

std::string_view rawValue(StreamQuality quality);
std::optional<StreamQuality> streamQualityFromRawValue(std::string_view raw);
std::string_view rawValue(StreamFrameRate rate);  // "30", "60"
std::optional<StreamFrameRate> streamFrameRateFromRawValue(std::string_view raw);

int maximumOutputWidth(StreamQuality quality);  // 1280, 1728, 2208
int averageBitRate(StreamQuality quality);      // 4, 8, 14 million bits per second
int jpegQuality(StreamQuality quality);         // 45, 62, 78 (of 100)
int framesPerSecond(StreamFrameRate rate);

struct OutputSize {
    int width = 0;
    int height = 0;
    bool operator==(const OutputSize&) const = default;
};

// The size frames are captured and encoded at: scaled down to the quality's width cap (never
// up), truncated, at least 2 and even in both directions.
OutputSize outputSize(int displayWidth, int displayHeight, StreamQuality quality);

}  // namespace kestrio::capture
