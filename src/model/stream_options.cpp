#include "model/stream_options.h"

namespace kestrio::model {

BilingualText label(SourceMode mode)
{
    switch (mode) {
    case SourceMode::virtualDisplay:
        return {"확장 모니터", "Extended Monitor"};
    case SourceMode::mirror:
        return {"화면 미러링", "Screen Mirroring"};
    }
    return {};
}

BilingualText label(StreamQuality quality)
{
    switch (quality) {
    case StreamQuality::dataSaver:
        return {"절약", "Data Saver"};
    case StreamQuality::balanced:
        return {"균형", "Balanced"};
    case StreamQuality::sharp:
        return {"선명", "Sharp"};
    }
    return {};
}

BilingualText label(StreamFrameRate rate)
{
    const std::string text = std::to_string(static_cast<int>(rate)) + " fps";
    return {text, text};
}

}  // namespace kestrio::model
