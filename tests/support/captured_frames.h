#pragma once

#include "capture/display_capture.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kestrio::test {

// Collects the frames a capture delivers.
struct Frames {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<capture::VideoFrame> frames;

    capture::DisplayCaptureStream::FrameHandler handler()
    {
        return [this](const capture::VideoFrame& frame) {
            std::lock_guard lock(mutex);
            // Only the size is kept: the capture's buffers go back to it.
            capture::VideoFrame copy;
            copy.width = frame.width;
            copy.height = frame.height;
            copy.format = frame.format;
            frames.push_back(copy);
            arrived.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return frames.size() >= count; });
    }
};

}  // namespace kestrio::test
