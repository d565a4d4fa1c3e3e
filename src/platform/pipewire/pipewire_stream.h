#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_buffer;
struct spa_pod;

namespace kestrio::platform::pipewire {

// The stream could not be connected; the text says why.
class PipeWireError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A picture of 32-bit pixels (B, G, R, X in memory) from the stream.
struct StreamPicture {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

// Consumes one PipeWire video stream of a compositor: 32-bit pixels in shared memory. Keeps the
// newest picture (the buffer stays with us until a newer one comes) and counts new ones; a
// compositor sends a new picture only when something changed.
class PipeWireStream {
public:
    struct Size {
        int width = 0;
        int height = 0;
    };

    // Connects to the stream `node`. A virtual monitor takes the size its stream negotiates:
    // `fixedSize` asks for exactly that one; without it the stream's own size is taken. Throws
    // PipeWireError when PipeWire cannot be reached or the stream cannot be created.
    PipeWireStream(std::uint32_t node, std::optional<Size> fixedSize);
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Waits until the stream has agreed on a size, or failed, or `timeout` passed. The size.
    std::optional<Size> waitForFormat(std::chrono::milliseconds timeout);
    // Why a stream that neither failed nor agreed on a format did not: linking it to its source
    // is the session manager's work.
    static constexpr const char* unlinkedReason = " (nothing linked it: is PipeWire's session manager, WirePlumber, running?)";

    // Whether a new picture came since the last call.
    bool takeChange();
    // `news` runs (on PipeWire's thread) each time a new picture comes; replaces the last one.
    void onNews(std::function<void()> news);
    // Runs `use` with the newest picture, which stays valid while it runs; false when there is none.
    bool withPicture(const std::function<void(const StreamPicture&)>& use);
    // The stream ended or failed (the compositor went away, the monitor was unplugged).
    bool ended() const;

private:
    static void onProcess(void* self);
    static void onParamChanged(void* self, std::uint32_t id, const struct spa_pod* param);
    static void onStateChanged(void* self, int state);
    void release();

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    struct Listener;
    std::unique_ptr<Listener> listener_;

    mutable std::mutex mutex_;
    std::condition_variable formatChanged_;
    std::optional<Size> size_;
    bool ended_ = false;
    bool changed_ = false;
    std::function<void()> news_;
    pw_buffer* held_ = nullptr;  // the newest picture's buffer
};

}  // namespace kestrio::platform::pipewire
