#pragma once

#include "desktop/display_capture.h"
#include "desktop/display_facility.h"
#include "runtime/serial_queue.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kestrio::test {

// Collects the frames a capture delivers, on a capture queue of its own.
struct Frames {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<capture::VideoFrame> frames;
    std::shared_ptr<runtime::SerialQueue> queue = runtime::SerialQueue::create("capture");

    ~Frames() { queue->shutdown(); }
    capture::DisplayCaptureStream::FrameHandler handler()
    {
        return [this](const capture::VideoFrame& frame) {
            std::lock_guard lock(mutex);
            // Only the size is kept: the capture's buffers go back to it.
            frames.push_back({frame.format, frame.width, frame.height, {}, {}, {}, {}});
            arrived.notify_all();
        };
    }
    // Copies `display` scaled to width×height, at most 60 frames a second, into this.
    std::unique_ptr<capture::DisplayCaptureStream> start(capture::DisplayCaptureFactory& factory, const display::DisplayInfo& display, int width, int height)
    {
        const capture::CaptureConfiguration configuration{width, height, capture::PixelFormat::nv12, std::chrono::duration_cast<runtime::Duration>(std::chrono::seconds(1)) / 60, 5, true, {}, {}};
        return factory.start({display.id, display.x, display.y, display.width, display.height}, configuration, queue, handler());
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return frames.size() >= count; });
    }
};

}  // namespace kestrio::test
