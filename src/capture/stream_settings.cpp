#include "capture/stream_settings.h"

#include <algorithm>

namespace kestrio::capture {

std::string_view rawValue(StreamQuality quality)
{
    switch (quality) {
    case StreamQuality::dataSaver:
        return "dataSaver";
    case StreamQuality::balanced:
        return "balanced";
    case StreamQuality::sharp:
        return "sharp";
    }
    return "balanced";
}

std::optional<StreamQuality> streamQualityFromRawValue(std::string_view raw)
{
    for (auto quality : {StreamQuality::dataSaver, StreamQuality::balanced, StreamQuality::sharp})
        if (rawValue(quality) == raw)
            return quality;
    return std::nullopt;
}

std::string_view rawValue(StreamFrameRate rate)
{
    return rate == StreamFrameRate::thirty ? "30" : "60";
}

std::optional<StreamFrameRate> streamFrameRateFromRawValue(std::string_view raw)
{
    if (raw == "30")
        return StreamFrameRate::thirty;
    if (raw == "60")
        return StreamFrameRate::sixty;
    return std::nullopt;
}

int maximumOutputWidth(StreamQuality quality)
{
    switch (quality) {
    case StreamQuality::dataSaver:
        return 1280;
    case StreamQuality::balanced:
        return 1728;
    case StreamQuality::sharp:
        return 2208;
    }
    return 1728;
}

int averageBitRate(StreamQuality quality)
{
    switch (quality) {
    case StreamQuality::dataSaver:
        return 4'000'000;
    case StreamQuality::balanced:
        return 8'000'000;
    case StreamQuality::sharp:
        return 14'000'000;
    }
    return 8'000'000;
}

int jpegQuality(StreamQuality quality)
{
    switch (quality) {
    case StreamQuality::dataSaver:
        return 45;
    case StreamQuality::balanced:
        return 62;
    case StreamQuality::sharp:
        return 78;
    }
    return 62;
}

int framesPerSecond(StreamFrameRate rate)
{
    return static_cast<int>(rate);
}

OutputSize outputSize(int displayWidth, int displayHeight, StreamQuality quality)
{
    const double scale = std::min(static_cast<double>(maximumOutputWidth(quality)) / displayWidth, 1.0);
    auto dimension = [scale](int size) {
        const int scaled = std::max(static_cast<int>(size * scale), 2);
        return scaled & ~1;
    };
    return {dimension(displayWidth), dimension(displayHeight)};
}

}  // namespace kestrio::capture
