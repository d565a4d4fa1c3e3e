#include "platform/x11/x11_display_capture.h"
#include "platform/x11/x11_connect.h"
#include "platform/x11/xcb_reply.h"

#include "capture/argb_frame_converter.h"
#include "capture/capture_ticker.h"
#include "platform/desktop_common/descriptor_watch.h"
#include "runtime/serial_queue.h"

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <utility>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <vector>

namespace kestrio::platform::x11 {
namespace {

using capture::CaptureError;
using capture::PixelFormat;

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    Rect intersected(const Rect& other) const
    {
        int left = std::max(x, other.x);
        int top = std::max(y, other.y);
        int right = std::min(x + width, other.x + other.width);
        int bottom = std::min(y + height, other.y + other.height);
        return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
    }
    bool intersects(const Rect& other) const { return !intersected(other).empty(); }
};

// The cursor as XFixes last described it.
struct CursorImage {
    std::vector<std::uint32_t> pixels;  // premultiplied ARGB
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
};

// Blends a premultiplied ARGB image over BGRX pixels.
void compositeCursor(const CursorImage& cursor, int pointerX, int pointerY, const Rect& area, std::uint8_t* pixels, int stride)
{
    const Rect box{pointerX - cursor.hotX, pointerY - cursor.hotY, cursor.width, cursor.height};
    const Rect visible = box.intersected(area);
    for (int y = visible.y; y < visible.y + visible.height; ++y) {
        const std::uint32_t* source = cursor.pixels.data() + static_cast<std::size_t>(y - box.y) * cursor.width;
        auto* target = reinterpret_cast<std::uint32_t*>(pixels + static_cast<std::size_t>(y - area.y) * stride);
        for (int x = visible.x; x < visible.x + visible.width; ++x) {
            const std::uint32_t s = source[x - box.x];
            const std::uint32_t alpha = s >> 24;
            if (alpha == 0)
                continue;
            std::uint32_t& d = target[x - area.x];
            const std::uint32_t keep = 255 - alpha;
            std::uint32_t result = 0xff000000u;
            for (int shift = 0; shift < 24; shift += 8) {
                std::uint32_t channel = ((s >> shift) & 0xff) + (((d >> shift) & 0xff) * keep + 127) / 255;
                result |= std::min<std::uint32_t>(channel, 255) << shift;
            }
            d = result;
        }
    }
}

// What a capture of one screen rectangle holds on the X server, and how it reads changes and
// pictures. Used only by its ticker, on the capture queue, under the ticker's lock.
class X11Source {
public:
    struct Setup {
        xcb_connection_t* connection = nullptr;
        xcb_window_t root = 0;
        Rect area;
        int outputWidth = 0;
        int outputHeight = 0;
        PixelFormat format = PixelFormat::nv12;
        bool showsCursor = true;
        std::uint8_t damageEvent = 0;
        std::uint8_t cursorEvent = 0;
        xcb_damage_damage_t damage = 0;
        xcb_shm_seg_t segment = 0;
        std::uint8_t* sharedPixels = nullptr;
        int poolDepth = 1;
        bool ownServer = false;
    };

    explicit X11Source(Setup setup)
        : setup_(std::move(setup)),
          converter_(setup_.area.width, setup_.area.height, setup_.outputWidth, setup_.outputHeight, setup_.format,
                     setup_.poolDepth)
    {
    }

    // From now on `news` runs (on a thread of its own) when the server sends something while no
    // tick is reading: damage, most likely. Call before the first tick.
    void watch(std::function<void()> news)
    {
        news_ = news;
        watch_ = std::make_unique<desktop_common::DescriptorWatch>(xcb_get_file_descriptor(setup_.connection), std::move(news));
    }

    void close()
    {
        watch_.reset();
        auto* connection = setup_.connection;
        if (!xcb_connection_has_error(connection)) {
            xcb_damage_destroy(connection, setup_.damage);
            xcb_shm_detach(connection, setup_.segment);
        }
        xcb_disconnect(connection);
        shmdt(setup_.sharedPixels);
    }

    // Reads what happened since the last tick: damage, cursor changes and the pointer position.
    bool observe(bool& changed)
    {
        auto* connection = setup_.connection;
        if (watch_)
            watch_->disarm();
        // The round trip also brings in every event the server sent before answering it.
        auto pointer = own(xcb_query_pointer_reply(connection, xcb_query_pointer(connection, setup_.root), nullptr));
        if (!pointer || xcb_connection_has_error(connection))
            return false;
        takeEvents();
        changed = changed || damaged_;
        damaged_ = false;
        // Empties the damage region, so that the next change is reported again. Whatever changed
        // before this is in the picture grabbed after it.
        if (std::exchange(sawDamage_, false))
            xcb_damage_subtract(connection, setup_.damage, XCB_NONE, XCB_NONE);

        if (setup_.showsCursor) {
            const Rect before = cursorBox();
            if (cursorStale_ || !cursor_) {
                auto image = own(xcb_xfixes_get_cursor_image_reply(connection, xcb_xfixes_get_cursor_image(connection), nullptr));
                if (image) {
                    CursorImage next;
                    next.width = image->width;
                    next.height = image->height;
                    next.hotX = image->xhot;
                    next.hotY = image->yhot;
                    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(image.get());
                    next.pixels.assign(pixels, pixels + xcb_xfixes_get_cursor_image_cursor_image_length(image.get()));
                    cursor_ = std::move(next);
                    if (cursorStale_)
                        changed = changed || before.intersects(setup_.area) ||
                                  cursorBoxAt(pointer->root_x, pointer->root_y).intersects(setup_.area);
                }
                cursorStale_ = false;
            }
            if (pointer->root_x != pointerX_ || pointer->root_y != pointerY_) {
                pointerX_ = pointer->root_x;
                pointerY_ = pointer->root_y;
                changed = changed || before.intersects(setup_.area) || cursorBox().intersects(setup_.area);
            }
        }
        xcb_flush(connection);
        return !xcb_connection_has_error(connection);
    }

    // Why observe() found the source gone: the capture has a connection of its own, so only the
    // server's end (or its killing this client) breaks it. The host's own server comes back.
    capture::CaptureEnd ending() const
    {
        if (setup_.ownServer)
            return {capture::CaptureEnd::Cause::sourceLost, "the virtual screen stopped"};
        return {capture::CaptureEnd::Cause::desktopGone, "the X server closed the connection"};
    }

    // The tick is over. Events that came in with its answers are news already; otherwise the
    // watch takes over until the next tick.
    void rest()
    {
        takeEvents();
        if (damaged_ || cursorStale_) {
            if (news_)
                news_();
        } else if (watch_) {
            watch_->rearm();
        }
    }

    // Between ticks, once the watch saw the server send something: whether it concerns the
    // area. If not, the watch goes on.
    bool news()
    {
        takeEvents(xcb_poll_for_event);
        if (damaged_ || cursorStale_)
            return true;
        if (watch_)
            watch_->rearm();
        return false;
    }

    // Grabs and converts one picture; none while consumers hold every buffer or the grab fails
    // (as it can while the screen is being resized; a broken connection shows at the next tick).
    std::optional<capture::VideoFrame> grab()
    {
        if (!converter_.available())
            return std::nullopt;
        auto* connection = setup_.connection;
        const Rect& area = setup_.area;
        auto image = own(xcb_shm_get_image_reply(
            connection,
            xcb_shm_get_image(connection, setup_.root, static_cast<std::int16_t>(area.x), static_cast<std::int16_t>(area.y),
                              static_cast<std::uint16_t>(area.width), static_cast<std::uint16_t>(area.height), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, setup_.segment, 0),
            nullptr));
        if (!image)
            return std::nullopt;
        const int sourceStride = area.width * 4;
        if (setup_.showsCursor && cursor_)
            compositeCursor(*cursor_, pointerX_, pointerY_, area, setup_.sharedPixels, sourceStride);
        return converter_.convert(setup_.sharedPixels, sourceStride);
    }

private:
    // Takes the events the connection has read already (xcb_poll_for_queued_event, no I/O), or
    // reads what there is (xcb_poll_for_event).
    void takeEvents(xcb_generic_event_t* (*next)(xcb_connection_t*) = xcb_poll_for_queued_event)
    {
        while (xcb_generic_event_t* event = next(setup_.connection)) {
            const std::uint8_t type = event->response_type & 0x7f;
            if (type == setup_.damageEvent) {
                sawDamage_ = true;
                const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
                const Rect area{notify->area.x, notify->area.y, notify->area.width, notify->area.height};
                damaged_ = damaged_ || area.intersects(setup_.area);
            } else if (type == setup_.cursorEvent) {
                cursorStale_ = setup_.showsCursor;
            }
            std::free(event);
        }
    }

    Rect cursorBoxAt(int x, int y) const
    {
        if (!cursor_)
            return {};
        return {x - cursor_->hotX, y - cursor_->hotY, cursor_->width, cursor_->height};
    }
    Rect cursorBox() const { return cursorBoxAt(pointerX_, pointerY_); }

    Setup setup_;
    capture::ArgbFrameConverter converter_;
    std::function<void()> news_;
    std::unique_ptr<desktop_common::DescriptorWatch> watch_;
    bool sawDamage_ = false;  // since the damage region was last emptied
    bool damaged_ = false;    // the area, since the last tick
    bool cursorStale_ = false;
    std::optional<CursorImage> cursor_;
    int pointerX_ = 0;
    int pointerY_ = 0;
};

// Owns what start() has acquired so far, so that a failure half-way leaks nothing.
struct PartialSetup {
    X11Source::Setup setup;
    bool attached = false;
    bool damageCreated = false;

    ~PartialSetup()
    {
        if (!setup.connection)
            return;
        if (damageCreated)
            xcb_damage_destroy(setup.connection, setup.damage);
        if (attached)
            xcb_shm_detach(setup.connection, setup.segment);
        xcb_disconnect(setup.connection);
        if (setup.sharedPixels)
            shmdt(setup.sharedPixels);
    }

    X11Source::Setup release()
    {
        X11Source::Setup result = setup;
        setup = {};
        return result;
    }
};

bool hasExtension(xcb_connection_t* connection, xcb_extension_t* extension)
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
    return data && data->present;
}

}  // namespace

X11DisplayCaptureFactory::X11DisplayCaptureFactory(std::string displayName, std::shared_ptr<runtime::Clock> clock, bool early, bool ownServer)
    : displayName_(std::move(displayName)), clock_(clock ? std::move(clock) : runtime::makeSteadyClock()), early_(early), ownServer_(ownServer)
{
}

std::unique_ptr<capture::DisplayCaptureStream> X11DisplayCaptureFactory::start(
    const capture::CaptureDisplay& display, const capture::CaptureConfiguration& configuration,
    std::shared_ptr<runtime::SerialQueue> queue, capture::DisplayCaptureStream::FrameHandler handler)
{
    const std::string shownName = displayName_.empty() ? "$DISPLAY" : displayName_;
    if (!queue || !handler)
        throw CaptureError("capture needs a queue and a frame handler");
    if (display.width <= 0 || display.height <= 0)
        throw CaptureError("the display to capture has no area");

    PartialSetup partial;
    auto& setup = partial.setup;
    int screenNumber = 0;
    setup.connection = connectToDisplay(displayName_, &screenNumber);
    auto* connection = setup.connection;
    if (xcb_connection_has_error(connection))
        throw CaptureError("cannot connect to the X display " + shownName);

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        throw CaptureError("the X display " + shownName + " has no screen " + std::to_string(screenNumber));
    const xcb_screen_t* screen = screens.data;
    setup.root = screen->root;

    bool thirtyTwoBits = false;
    for (auto formats = xcb_setup_pixmap_formats_iterator(xcb_get_setup(connection)); formats.rem; xcb_format_next(&formats)) {
        if (formats.data->depth == screen->root_depth && formats.data->bits_per_pixel == 32)
            thirtyTwoBits = true;
    }
    if (screen->root_depth != 24 || !thirtyTwoBits)
        throw CaptureError("the X display " + shownName + " does not use 24-bit colour in 32-bit pixels");

    if (!hasExtension(connection, &xcb_shm_id))
        throw CaptureError("the X display " + shownName + " lacks the MIT-SHM extension");
    if (!hasExtension(connection, &xcb_xfixes_id))
        throw CaptureError("the X display " + shownName + " lacks the XFIXES extension");
    if (!hasExtension(connection, &xcb_damage_id))
        throw CaptureError("the X display " + shownName + " lacks the DAMAGE extension");
    // Both extensions must be told which version this client speaks before anything else.
    auto fixesVersion = own(xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 4, 0), nullptr));
    auto damageVersion = own(xcb_damage_query_version_reply(connection, xcb_damage_query_version(connection, 1, 1), nullptr));
    if (!fixesVersion || fixesVersion->major_version < 2 || !damageVersion)
        throw CaptureError("the X display " + shownName + " has too old XFIXES or DAMAGE extensions");
    setup.damageEvent = xcb_get_extension_data(connection, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    setup.cursorEvent = xcb_get_extension_data(connection, &xcb_xfixes_id)->first_event + XCB_XFIXES_CURSOR_NOTIFY;

    // The root window may have been resized through RandR since the server started.
    auto geometry = own(xcb_get_geometry_reply(connection, xcb_get_geometry(connection, setup.root), nullptr));
    if (!geometry)
        throw CaptureError("cannot read the size of the X display " + shownName);
    const Rect requested{display.x, display.y, display.width, display.height};
    setup.area = requested.intersected(Rect{0, 0, geometry->width, geometry->height});
    if (setup.area.empty())
        throw CaptureError("the display rectangle " + std::to_string(display.width) + "x" + std::to_string(display.height) +
                           "+" + std::to_string(display.x) + "+" + std::to_string(display.y) +
                           " lies outside the X screen (" + std::to_string(geometry->width) + "x" +
                           std::to_string(geometry->height) + ")");

    setup.outputWidth = configuration.width > 0 ? configuration.width : setup.area.width;
    setup.outputHeight = configuration.height > 0 ? configuration.height : setup.area.height;
    setup.format = configuration.pixelFormat;
    setup.showsCursor = configuration.showsCursor;

    const std::size_t sharedBytes = static_cast<std::size_t>(setup.area.width) * setup.area.height * 4;
    int segmentID = shmget(IPC_PRIVATE, sharedBytes, IPC_CREAT | 0600);
    if (segmentID < 0)
        throw CaptureError("cannot create a shared memory segment for capture");
    void* address = shmat(segmentID, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(segmentID, IPC_RMID, nullptr);
        throw CaptureError("cannot map a shared memory segment for capture");
    }
    setup.sharedPixels = static_cast<std::uint8_t*>(address);
    setup.segment = xcb_generate_id(connection);
    auto attachError = own(xcb_request_check(connection, xcb_shm_attach_checked(connection, setup.segment, segmentID, 0)));
    // Marked for removal now: the segment then goes away with its last user, even after a crash.
    shmctl(segmentID, IPC_RMID, nullptr);
    if (attachError)
        throw CaptureError("the X display " + shownName + " cannot share memory with this process");
    partial.attached = true;

    setup.damage = xcb_generate_id(connection);
    xcb_damage_create(connection, setup.damage, setup.root, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
    partial.damageCreated = true;
    xcb_xfixes_select_cursor_input(connection, setup.root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    auto settled = own(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    if (!settled || xcb_connection_has_error(connection))
        throw CaptureError("the X display " + shownName + " closed the connection");

    setup.poolDepth = configuration.queueDepth;
    setup.ownServer = ownServer_;

    auto source = std::make_shared<X11Source>(partial.release());
    // A change is grabbed as soon as the server reports it, not at the next tick.
    std::function<void(std::function<void()>)> watch;
    if (early_)
        watch = [source](std::function<void()> wake) { source->watch(std::move(wake)); };
    return capture::startTicking(source, configuration, clock_, std::move(queue), std::move(handler), watch);
}

}  // namespace kestrio::platform::x11
