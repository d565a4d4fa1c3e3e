#include "platform/wlroots/screencopy_capture.h"

#include "capture/argb_frame_converter.h"
#include "capture/capture_ticker.h"
#include "platform/desktop_common/descriptor_watch.h"
#include "platform/desktop_common/shared_memory_file.h"
#include "platform/wlroots/wayland_connection.h"

#include "wlr-screencopy-unstable-v1.h"

#include <wayland-client.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace kestrio::platform::wlroots {
namespace {

using capture::CaptureError;

// Copies in a row that fail end the stream: the output cannot be copied any more.
constexpr int failureLimit = 30;
// A compositor that damages an output whole at every frame answers each copy at once, often
// with the picture it sent before: such a copy is asked for again at the next tick, and after
// this many in a row (the screen is still) only every few ticks, so that a change on a still
// screen is seen at most that many ticks (100 ms at 60/s) late.
constexpr int sameCopiesOfAStillScreen = 8;
constexpr int ticksApartOnAStillScreen = 6;

// A picture of the output in shared memory, handed to the compositor to copy into.
class ShmBuffer {
public:
    ShmBuffer(wl_shm* shm, std::uint32_t format, int width, int height, int stride)
        : format_(format), width_(width), height_(height), stride_(stride),
          memory_("kestrio-screencopy", static_cast<std::size_t>(stride) * static_cast<std::size_t>(height))
    {
        if (!memory_)
            throw CaptureError("no shared memory for the output's picture");
        wl_shm_pool* pool = wl_shm_create_pool(shm, memory_.descriptor(), static_cast<std::int32_t>(memory_.size()));
        buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
        wl_shm_pool_destroy(pool);
    }
    ~ShmBuffer() { wl_buffer_destroy(buffer_); }
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;

    bool fits(std::uint32_t format, int width, int height, int stride) const
    {
        return format == format_ && width == width_ && height == height_ && stride == stride_;
    }
    wl_buffer* buffer() const { return buffer_; }
    const std::uint8_t* pixels() const { return memory_.data(); }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }

private:
    std::uint32_t format_;
    int width_;
    int height_;
    int stride_;
    desktop_common::SharedMemoryFile memory_;
    wl_buffer* buffer_ = nullptr;
};

// Keeps one copy of the output in flight: the compositor fills the back buffer while the front
// one holds the newest picture. Used only by its ticker, under the ticker's lock.
class ScreencopySource {
public:
    ScreencopySource(std::unique_ptr<WaylandConnection> connection, wl_output* output,
                     const capture::CaptureConfiguration& configuration)
        : connection_(std::move(connection)), output_(output), configuration_(configuration)
    {
        requestCopy();
    }
    ~ScreencopySource() { close(); }

    // From now on `news` runs (on a thread of its own) when the compositor sends something while
    // no tick is reading: a copy done, most likely.
    void watch(std::function<void()> news)
    {
        watch_ = std::make_unique<desktop_common::DescriptorWatch>(wl_display_get_fd(connection_->display()), std::move(news));
    }

    bool observe(bool& changed)
    {
        if (watch_)
            watch_->disarm();
        if (!connection_ || !connection_->dispatchWithoutWaiting()) {
            ending_ = {capture::CaptureEnd::Cause::desktopGone, "the compositor closed the connection"};
            return false;
        }
        if (!connection_->present(output_)) {
            ending_ = {capture::CaptureEnd::Cause::sourceLost, "the output went away"};
            return false;
        }
        if (failures_ >= failureLimit) {
            ending_ = {capture::CaptureEnd::Cause::sourceLost, "the compositor failed every copy of the output"};
            return false;
        }
        if (!frame_ && ++ticks_ >= copyDueAt_)
            requestCopy();
        changed = changed_;
        changed_ = false;
        return true;
    }

    std::optional<capture::VideoFrame> grab()
    {
        if (!front_)
            return std::nullopt;
        if (!converter_ || converter_->sourceWidth() != front_->width() || converter_->sourceHeight() != front_->height()) {
            const int width = configuration_.width > 0 ? configuration_.width : front_->width();
            const int height = configuration_.height > 0 ? configuration_.height : front_->height();
            converter_.emplace(front_->width(), front_->height(), width, height, configuration_.pixelFormat,
                               configuration_.queueDepth);
        }
        if (!frontInverted_)
            return converter_->convert(front_->pixels(), front_->stride());
        // Rows bottom first: turned over into a picture of our own.
        const std::size_t row = static_cast<std::size_t>(front_->stride());
        upright_.resize(row * static_cast<std::size_t>(front_->height()));
        for (int y = 0; y < front_->height(); ++y)
            std::memcpy(upright_.data() + row * static_cast<std::size_t>(y),
                        front_->pixels() + row * static_cast<std::size_t>(front_->height() - 1 - y), row);
        return converter_->convert(upright_.data(), front_->stride());
    }

    // The tick is over: what the compositor sends next is news.
    void rest()
    {
        if (watch_)
            watch_->rearm();
    }

    // Between ticks, once the watch saw the compositor send something: whether a changed picture
    // came (an unchanged copy is no news). If not, the watch goes on.
    bool news()
    {
        if (!connection_ || !connection_->dispatchWithoutWaiting())
            return true;  // the next tick finds out
        if (changed_)
            return true;
        if (watch_)
            watch_->rearm();
        return false;
    }

    capture::CaptureEnd ending() const { return ending_; }

    void close()
    {
        watch_.reset();
        if (frame_)
            zwlr_screencopy_frame_v1_destroy(frame_);
        frame_ = nullptr;
        front_.reset();
        back_.reset();
        connection_.reset();
    }

private:
    static void onBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
                         std::uint32_t height, std::uint32_t stride)
    {
        auto* self = static_cast<ScreencopySource*>(data);
        self->offered_ = Offer{format, static_cast<int>(width), static_cast<int>(height), static_cast<int>(stride)};
        // Before version 3 no list of buffer kinds follows: the shared-memory one is all there is.
        if (self->connection_->screencopyVersion() < 3)
            self->copy();
    }
    static void onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags)
    {
        static_cast<ScreencopySource*>(data)->inverted_ = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
    }
    static void onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t)
    {
        auto* self = static_cast<ScreencopySource*>(data);
        self->finishFrame();
        self->failures_ = 0;
        // Sway damages a whole output that shows a full-screen window at every frame, changed or
        // not, and each copy asks for a frame: only a picture that differs is news.
        if (!self->front_ || self->differs()) {
            std::swap(self->front_, self->back_);
            self->frontInverted_ = self->inverted_;
            self->changed_ = true;
            self->sameCopies_ = 0;
            self->requestCopy();
        } else {
            self->sameCopies_ = std::min(self->sameCopies_ + 1, sameCopiesOfAStillScreen);
            self->copyDueAt_ = self->ticks_ + (self->sameCopies_ < sameCopiesOfAStillScreen ? 1 : ticksApartOnAStillScreen);
        }
    }
    static void onFailed(void* data, zwlr_screencopy_frame_v1*)
    {
        auto* self = static_cast<ScreencopySource*>(data);
        self->finishFrame();
        ++self->failures_;  // asked again at the next tick
    }
    static void onDamage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t y, std::uint32_t,
                         std::uint32_t height)
    {
        auto* self = static_cast<ScreencopySource*>(data);
        const auto bottom = static_cast<int>(std::min<std::uint64_t>(std::uint64_t{y} + height, INT32_MAX));
        self->damagedRows_ = {std::min(self->damagedRows_.first, static_cast<int>(std::min<std::uint32_t>(y, INT32_MAX))),
                              std::max(self->damagedRows_.second, bottom)};
    }
    static void onDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {}
    static void onBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<ScreencopySource*>(data)->copy(); }

    static constexpr zwlr_screencopy_frame_v1_listener listener{onBuffer, onFlags, onReady, onFailed, onDamage, onDmabuf, onBufferDone};

    // Whether the picture just copied differs from the one held, in the rows the compositor said
    // were damaged (all of them when it did not say).
    bool differs() const
    {
        if (back_->width() != front_->width() || back_->height() != front_->height() || back_->stride() != front_->stride() ||
            inverted_ != frontInverted_)
            return true;
        int first = 0, last = back_->height();
        if (damagedRows_.first <= damagedRows_.second) {
            first = inverted_ ? back_->height() - std::min(damagedRows_.second, back_->height()) : damagedRows_.first;
            last = inverted_ ? back_->height() - damagedRows_.first : std::min(damagedRows_.second, back_->height());
        }
        if (first >= last)
            return false;
        const std::size_t row = static_cast<std::size_t>(back_->stride());
        return std::memcmp(back_->pixels() + row * static_cast<std::size_t>(first), front_->pixels() + row * static_cast<std::size_t>(first),
                           row * static_cast<std::size_t>(last - first)) != 0;
    }

    void requestCopy()
    {
        damagedRows_ = {INT32_MAX, -1};
        offered_.reset();
        inverted_ = false;
        frame_ = zwlr_screencopy_manager_v1_capture_output(connection_->screencopy(), 1, output_);
        zwlr_screencopy_frame_v1_add_listener(frame_, &listener, this);
    }

    void copy()
    {
        // Only 32-bit pixels with blue first in memory are what the conversion reads.
        if (!offered_ || (offered_->format != WL_SHM_FORMAT_XRGB8888 && offered_->format != WL_SHM_FORMAT_ARGB8888) ||
            offered_->width <= 0 || offered_->height <= 0 || offered_->stride < offered_->width * 4) {
            finishFrame();
            failures_ = failureLimit;
            return;
        }
        if (!back_ || !back_->fits(offered_->format, offered_->width, offered_->height, offered_->stride))
            back_ = std::make_unique<ShmBuffer>(connection_->shm(), offered_->format, offered_->width, offered_->height,
                                                offered_->stride);
        // The first picture at once; after it, only once the output changed.
        if (front_ && connection_->screencopyVersion() >= 2)
            zwlr_screencopy_frame_v1_copy_with_damage(frame_, back_->buffer());
        else
            zwlr_screencopy_frame_v1_copy(frame_, back_->buffer());
    }

    void finishFrame()
    {
        if (frame_)
            zwlr_screencopy_frame_v1_destroy(frame_);
        frame_ = nullptr;
    }

    struct Offer {
        std::uint32_t format;
        int width;
        int height;
        int stride;
    };

    std::unique_ptr<WaylandConnection> connection_;
    wl_output* output_;
    capture::CaptureConfiguration configuration_;
    zwlr_screencopy_frame_v1* frame_ = nullptr;
    std::optional<Offer> offered_;
    bool inverted_ = false;
    bool frontInverted_ = false;
    std::pair<int, int> damagedRows_{INT32_MAX, -1};  // first, one past the last; empty: none said
    std::unique_ptr<ShmBuffer> back_;
    std::unique_ptr<ShmBuffer> front_;
    bool changed_ = false;
    int failures_ = 0;
    int sameCopies_ = 0;         // in a row
    capture::CaptureEnd ending_;
    std::uint64_t ticks_ = 0;    // observed while no copy was in flight
    std::uint64_t copyDueAt_ = 0;
    std::optional<capture::ArgbFrameConverter> converter_;
    std::vector<std::uint8_t> upright_;
    std::unique_ptr<desktop_common::DescriptorWatch> watch_;
};

}  // namespace

ScreencopyCaptureFactory::ScreencopyCaptureFactory(std::shared_ptr<WlrootsDisplayFacility> displays, std::string waylandDisplay,
                                                   std::shared_ptr<runtime::Clock> clock)
    : displays_(std::move(displays)), waylandDisplay_(std::move(waylandDisplay)),
      clock_(clock ? std::move(clock) : runtime::makeSteadyClock())
{
}

std::unique_ptr<capture::DisplayCaptureStream> ScreencopyCaptureFactory::start(
    const capture::CaptureDisplay& display, const capture::CaptureConfiguration& configuration,
    std::shared_ptr<runtime::SerialQueue> queue, capture::DisplayCaptureStream::FrameHandler handler)
{
    if (!queue || !handler)
        throw CaptureError("capture needs a queue and a frame handler");
    std::string name;
    try {
        for (const auto& info : displays_->displays()) {
            if (info.id == display.displayID)
                name = info.name;
        }
    } catch (const std::runtime_error& error) {
        throw CaptureError(error.what());
    }
    if (name.empty())
        throw CaptureError("the display to capture is not connected");
    std::unique_ptr<WaylandConnection> connection;
    try {
        connection = std::make_unique<WaylandConnection>(waylandDisplay_);
    } catch (const WaylandError& error) {
        throw CaptureError(error.what());
    }
    if (!connection->screencopy() || !connection->shm())
        throw CaptureError("the compositor offers no screen copy");
    const WaylandOutput* output = connection->output(name);
    if (!output)
        throw CaptureError("the compositor does not list the output " + name);
    auto source = std::make_shared<ScreencopySource>(std::move(connection), output->output, configuration);
    // A changed copy is taken as soon as it is done, not at the next tick.
    return capture::startTicking(source, configuration, clock_, std::move(queue), std::move(handler),
                                 [source](std::function<void()> wake) { source->watch(std::move(wake)); });
}

}  // namespace kestrio::platform::wlroots
