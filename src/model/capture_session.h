#pragma once

#include "desktop/display_capture.h"
#include "desktop/display_facility.h"
#include "model/stream_options.h"

#include <functional>
#include <memory>

namespace kestrio::model {

// One run of screen capture to the viewer, for fixed stream settings.
class CaptureSession {
public:
    virtual ~CaptureSession() = default;
    // Throws an exception whose what() is the text the user sees when capture cannot start.
    // `ended` hears, on any thread, when the capture ends on its own.
    virtual void start(const display::DisplayInfo& display, std::function<void(const capture::CaptureEnd&)> ended) = 0;
    // Safe to call more than once.
    virtual void stop() = 0;
};

using CaptureSessionFactory = std::function<std::unique_ptr<CaptureSession>(StreamQuality, StreamFrameRate)>;

}  // namespace kestrio::model
