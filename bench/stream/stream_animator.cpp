// stream_animator: keeps the whole X screen changing at a fixed rate and stamps every frame with
// a counter the measuring viewer can read back from the decoded picture.
//
// Each frame copies a window of a larger textured pixmap onto the root window at an offset that
// moves at a constant speed, so every pixel changes and the encoder has real motion to search, then draws the
// counter: two rows of 16 blocks (32x32 px) at the top left, the low 16 bits of the frame number
// and below them the same bits inverted, so that a reader can reject a damaged read. After a round
// trip to the server the CLOCK_MONOTONIC time is logged as "<frame> <nanoseconds>" per line.
//
// With --pattern rectangle the texture is drawn once and only a rectangle moves over it,
// changing colour each frame, with the counter: the small changes of a desktop rather than a
// full-screen video.
//
// With --interval MIN:MAX each next frame comes after a delay drawn uniformly from MIN to MAX
// milliseconds (the same sequence every run) instead of at a fixed rate, so that no capture
// cadence can lock onto the changes.
//
// usage: stream_animator --log FILE [--rate HZ | --interval MIN:MAX] [--pattern screen|rectangle]
//        (DISPLAY names the screen; stops on SIGTERM/SIGINT)

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "moving_texture.h"

namespace {

using namespace animation;


volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

std::int64_t monotonicNanoseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void uploadTexture(xcb_connection_t* connection, xcb_pixmap_t pixmap, xcb_gcontext_t gc, std::uint8_t depth,
                   const std::vector<std::uint32_t>& pixels, int width, int height)
{
    // Strips small enough for a request without BIG-REQUESTS.
    const int rowsPerStrip = std::max(1, 200'000 / (width * 4));
    for (int y = 0; y < height; y += rowsPerStrip) {
        const int rows = std::min(rowsPerStrip, height - y);
        xcb_put_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(y), 0, depth,
                      static_cast<std::uint32_t>(rows) * width * 4,
                      reinterpret_cast<const std::uint8_t*>(pixels.data() + static_cast<std::size_t>(y) * width));
    }
}

void fillRectangles(xcb_connection_t* connection, xcb_drawable_t target, xcb_gcontext_t gc, std::uint32_t colour,
                    const std::vector<xcb_rectangle_t>& rectangles)
{
    if (rectangles.empty())
        return;
    xcb_change_gc(connection, gc, XCB_GC_FOREGROUND, &colour);
    xcb_poly_fill_rectangle(connection, target, gc, static_cast<std::uint32_t>(rectangles.size()), rectangles.data());
}

}  // namespace

int main(int argc, char** argv)
{
    std::string logPath;
    double rate = 60.0;
    bool rectangleOnly = false;
    double shortest = 0;
    double longest = 0;
    bool usable = true;
    for (int i = 1; i < argc && usable; ++i) {
        const std::string_view flag = argv[i];
        const std::string_view value = i + 1 < argc ? argv[i + 1] : "";
        if (flag == "--log" && i + 1 < argc)
            logPath = value;
        else if (flag == "--rate" && i + 1 < argc)
            rate = std::atof(value.data());
        else if (flag == "--interval" && i + 1 < argc)
            usable = std::sscanf(value.data(), "%lf:%lf", &shortest, &longest) == 2 && shortest > 0 && shortest <= longest;
        else if (flag == "--pattern" && (value == "screen" || value == "rectangle"))
            rectangleOnly = value == "rectangle";
        else
            usable = false;
        ++i;
    }
    if (!usable || logPath.empty() || rate <= 0) {
        std::fprintf(stderr, "usage: stream_animator --log FILE [--rate HZ | --interval MIN:MAX] [--pattern screen|rectangle]\n");
        return 2;
    }

    struct sigaction action{};
    action.sa_handler = requestStop;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "stream_animator: cannot connect to the X server\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&screens);
    const xcb_screen_t* screen = screens.data;
    const int screenWidth = screen->width_in_pixels;
    const int screenHeight = screen->height_in_pixels;
    const xcb_window_t root = screen->root;

    std::FILE* log = std::fopen(logPath.c_str(), "w");
    if (!log) {
        std::fprintf(stderr, "stream_animator: cannot write %s: %s\n", logPath.c_str(), std::strerror(errno));
        return 1;
    }

    const int textureWidth = screenWidth + slackX;
    const int textureHeight = screenHeight + slackY;
    const xcb_pixmap_t texture = xcb_generate_id(connection);
    xcb_create_pixmap(connection, screen->root_depth, texture, root, static_cast<std::uint16_t>(textureWidth),
                      static_cast<std::uint16_t>(textureHeight));
    const xcb_gcontext_t gc = xcb_generate_id(connection);
    const std::uint32_t gcValues[] = {0, 0};
    xcb_create_gc(connection, gc, root, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, gcValues);
    uploadTexture(connection, texture, gc, screen->root_depth, makeTexture(textureWidth, textureHeight), textureWidth,
                  textureHeight);
    xcb_flush(connection);

    // A grey plate behind the counter keeps the moving texture from bleeding into the blocks
    // when the picture is scaled and compressed.
    const xcb_rectangle_t plate{0, 0, static_cast<std::uint16_t>(2 * counterMargin + counterBits * blockSize),
                                static_cast<std::uint16_t>(2 * counterMargin + 2 * blockSize)};

    const auto period = static_cast<std::int64_t>(1e9 / rate);
    std::mt19937_64 random(1);
    std::uniform_int_distribution<std::int64_t> delay(static_cast<std::int64_t>(shortest * 1e6),
                                                      static_cast<std::int64_t>(longest * 1e6));
    std::int64_t next = monotonicNanoseconds();
    std::uint64_t frame = 0;
    std::int64_t lastFlush = next;
    std::vector<xcb_rectangle_t> white;
    std::vector<xcb_rectangle_t> black;
    constexpr int rectangleWidth = 240;
    constexpr int rectangleHeight = 160;
    std::optional<xcb_rectangle_t> drawnRectangle;
    if (rectangleOnly)
        xcb_copy_area(connection, texture, root, gc, 0, 0, 0, 0, static_cast<std::uint16_t>(screenWidth),
                      static_cast<std::uint16_t>(screenHeight));
    while (!stopRequested) {
        const double t = static_cast<double>(frame) / rate;
        if (rectangleOnly) {
            // The texture comes back where the rectangle was, and the rectangle moves on.
            if (drawnRectangle)
                xcb_copy_area(connection, texture, root, gc, drawnRectangle->x, drawnRectangle->y, drawnRectangle->x,
                              drawnRectangle->y, drawnRectangle->width, drawnRectangle->height);
            const auto x = static_cast<std::int16_t>((screenWidth - rectangleWidth) / 2 * (1.0 + std::sin(t * 1.1)));
            const auto y = static_cast<std::int16_t>(plate.height + (screenHeight - plate.height - rectangleHeight) / 2 *
                                                                       (1.0 + std::sin(t * 0.7 + 0.5)));
            drawnRectangle = xcb_rectangle_t{x, y, rectangleWidth, rectangleHeight};
            fillRectangles(connection, root, gc, hash(static_cast<std::uint32_t>(frame)) & 0xffffff, {*drawnRectangle});
        } else {
            // The same motion every frame (bouncing between the texture's edges), so that any
            // window of frames costs an encoder the same as any other: a host and the baseline
            // measured one after the other see equally hard content.
            const auto dx = static_cast<std::int16_t>(bounce(static_cast<int>(frame) * 5, slackX - 1));
            const auto dy = static_cast<std::int16_t>(bounce(static_cast<int>(frame) * 3, slackY - 1));
            xcb_copy_area(connection, texture, root, gc, dx, dy, 0, 0, static_cast<std::uint16_t>(screenWidth),
                          static_cast<std::uint16_t>(screenHeight));
        }

        fillRectangles(connection, root, gc, 0x808080, {plate});
        white.clear();
        black.clear();
        const auto value = static_cast<std::uint16_t>(frame);
        for (int bit = 0; bit < counterBits; ++bit) {
            const bool set = (value >> (counterBits - 1 - bit)) & 1;
            const auto x = static_cast<std::int16_t>(counterMargin + bit * blockSize);
            const xcb_rectangle_t top{x, counterMargin, blockSize, blockSize};
            const xcb_rectangle_t bottom{x, counterMargin + blockSize, blockSize, blockSize};
            (set ? white : black).push_back(top);
            (set ? black : white).push_back(bottom);
        }
        fillRectangles(connection, root, gc, 0xffffff, white);
        fillRectangles(connection, root, gc, 0x000000, black);

        // The round trip makes sure the server has drawn the frame before its time is taken.
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        if (xcb_connection_has_error(connection))
            break;
        const std::int64_t drawnAt = monotonicNanoseconds();
        std::fprintf(log, "%llu %lld\n", static_cast<unsigned long long>(frame), static_cast<long long>(drawnAt));
        if (drawnAt - lastFlush > 500'000'000) {
            std::fflush(log);
            lastFlush = drawnAt;
        }
        ++frame;

        const std::int64_t step = longest > 0 ? delay(random) : period;
        next += step;
        if (drawnAt > next + 10 * step)
            next = drawnAt;  // far behind (the machine was busy): do not try to catch up in a burst
        timespec wake{static_cast<time_t>(next / 1'000'000'000), static_cast<long>(next % 1'000'000'000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR && !stopRequested) {
        }
    }
    std::fclose(log);
    xcb_free_pixmap(connection, texture);
    xcb_free_gc(connection, gc);
    xcb_disconnect(connection);
    return 0;
}
