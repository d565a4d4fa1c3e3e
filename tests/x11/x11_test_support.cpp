#include "x11/x11_test_support.h"

#include "platform/linux/child_process_run.h"

#include <xcb/randr.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrio::platform::testing {

Picture blockPattern(int width, int height, int block, std::uint32_t seed)
{
    Picture picture{width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint32_t index = static_cast<std::uint32_t>((y / block) * 1000 + x / block) * 2654435761u + seed * 40503u;
            index ^= index >> 15;
            index *= 2246822519u;
            index ^= index >> 13;
            picture.pixels[static_cast<std::size_t>(y) * width + x] = index & 0x00ffffffu;
        }
    }
    return picture;
}

Picture solidPicture(int width, int height, std::uint32_t colour)
{
    return Picture{width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height, colour)};
}

TestDisplay::TestDisplay(const std::string& displayName)
{
    int screenNumber = 0;
    connection_ = xcb_connect(displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection_))
        return;
    auto iterator = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && iterator.rem; ++i)
        xcb_screen_next(&iterator);
    screen_ = iterator.data;
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
    sync();
}

TestDisplay::~TestDisplay()
{
    xcb_disconnect(connection_);
}

bool TestDisplay::connected() const
{
    return xcb_connection_has_error(connection_) == 0 && screen_;
}

void TestDisplay::draw(const Picture& picture, int x, int y)
{
    // A request carries at most this many bytes; send the picture in bands of rows.
    const std::size_t maximumBytes = static_cast<std::size_t>(xcb_get_maximum_request_length(connection_)) * 4 - 64;
    const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * 4;
    const int rowsPerRequest = std::max(1, static_cast<int>(maximumBytes / rowBytes));
    for (int row = 0; row < picture.height; row += rowsPerRequest) {
        const int rows = std::min(rowsPerRequest, picture.height - row);
        xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, gc_, static_cast<std::uint16_t>(picture.width),
                      static_cast<std::uint16_t>(rows), static_cast<std::int16_t>(x), static_cast<std::int16_t>(y + row), 0,
                      24, static_cast<std::uint32_t>(rowBytes * rows),
                      reinterpret_cast<const std::uint8_t*>(picture.pixels.data() + static_cast<std::size_t>(row) * picture.width));
    }
    sync();
}

void TestDisplay::warpPointer(int x, int y)
{
    xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
    sync();
}

Point TestDisplay::pointer()
{
    Point point;
    if (auto* reply = xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, screen_->root), nullptr)) {
        point = {reply->root_x, reply->root_y};
        std::free(reply);
    }
    return point;
}

Point TestDisplay::rootSize()
{
    Point size;
    if (auto* reply = xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, screen_->root), nullptr)) {
        size = {reply->width, reply->height};
        std::free(reply);
    }
    return size;
}

std::vector<std::string> TestDisplay::modeNames()
{
    std::vector<std::string> names;
    auto* reply = xcb_randr_get_screen_resources_reply(connection_, xcb_randr_get_screen_resources(connection_, screen_->root), nullptr);
    if (!reply)
        return names;
    const auto* modes = xcb_randr_get_screen_resources_modes(reply);
    const auto* bytes = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_names(reply));
    for (int i = 0; i < xcb_randr_get_screen_resources_modes_length(reply); ++i) {
        names.emplace_back(bytes, modes[i].name_len);
        bytes += modes[i].name_len;
    }
    std::free(reply);
    return names;
}

void TestDisplay::sync()
{
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

std::optional<std::string> xrandr(const std::string& displayName, const std::vector<std::string>& arguments)
{
    ChildProcessOptions options;
    options.environment = {"DISPLAY=" + displayName};
    options.capture = ChildProcessOptions::Capture::outputAndErrors;
    auto result = runChildProcess("xrandr", arguments, options);
    if (result.outcome != ChildProcessResult::Outcome::exited || result.exitStatus != 0)
        return std::nullopt;
    return result.output;
}

FrameCopy FrameCopy::of(const capture::VideoFrame& frame)
{
    FrameCopy copy;
    copy.format = frame.format;
    copy.width = frame.width;
    copy.height = frame.height;
    auto copyPlane = [](std::vector<std::uint8_t>& target, const std::uint8_t* source, int stride, int rowBytes, int rows) {
        target.resize(static_cast<std::size_t>(rowBytes) * rows);
        for (int row = 0; row < rows; ++row)
            std::memcpy(target.data() + static_cast<std::size_t>(row) * rowBytes, source + static_cast<std::size_t>(row) * stride,
                        static_cast<std::size_t>(rowBytes));
    };
    if (frame.format == capture::PixelFormat::bgra) {
        copyPlane(copy.first, frame.planes[0], frame.strides[0], frame.width * 4, frame.height);
    } else {
        copyPlane(copy.first, frame.planes[0], frame.strides[0], frame.width, frame.height);
        copyPlane(copy.second, frame.planes[1], frame.strides[1], (frame.width + 1) / 2 * 2, (frame.height + 1) / 2);
    }
    return copy;
}

std::uint32_t FrameCopy::bgraAt(int x, int y) const
{
    std::uint32_t pixel = 0;
    std::memcpy(&pixel, first.data() + (static_cast<std::size_t>(y) * width + x) * 4, 4);
    return pixel;
}

void FrameLog::add(const capture::VideoFrame& frame, bool keep)
{
    auto copy = FrameCopy::of(frame);
    std::lock_guard lock(mutex_);
    ++count_;
    last_ = std::move(copy);
    if (keep)
        kept_.push_back(frame);
}

std::size_t FrameLog::count() const
{
    std::lock_guard lock(mutex_);
    return count_;
}

FrameCopy FrameLog::last() const
{
    std::lock_guard lock(mutex_);
    return last_;
}

void FrameLog::releaseKept()
{
    std::vector<capture::VideoFrame> kept;
    std::lock_guard lock(mutex_);
    kept.swap(kept_);
}

Yuv toVideoRangeYuv(std::uint32_t rgb)
{
    const double r = (rgb >> 16) & 0xff;
    const double g = (rgb >> 8) & 0xff;
    const double b = rgb & 0xff;
    return Yuv{16 + 0.257 * r + 0.504 * g + 0.098 * b, 128 - 0.148 * r - 0.291 * g + 0.439 * b,
               128 + 0.439 * r - 0.368 * g - 0.071 * b};
}

double meanBgraChannel(const FrameCopy& frame, int channel, int x, int y, int width, int height)
{
    double sum = 0;
    for (int row = y; row < y + height; ++row)
        for (int column = x; column < x + width; ++column)
            sum += frame.first[(static_cast<std::size_t>(row) * frame.width + column) * 4 + channel];
    return sum / (width * height);
}

Yuv meanNv12(const FrameCopy& frame, int x, int y, int width, int height)
{
    Yuv mean;
    for (int row = y; row < y + height; ++row)
        for (int column = x; column < x + width; ++column)
            mean.y += frame.first[static_cast<std::size_t>(row) * frame.width + column];
    mean.y /= width * height;
    const int chromaStride = (frame.width + 1) / 2 * 2;
    int samples = 0;
    for (int row = y / 2; row < (y + height) / 2; ++row) {
        for (int column = x / 2; column < (x + width) / 2; ++column) {
            mean.u += frame.second[static_cast<std::size_t>(row) * chromaStride + column * 2];
            mean.v += frame.second[static_cast<std::size_t>(row) * chromaStride + column * 2 + 1];
            ++samples;
        }
    }
    mean.u /= samples;
    mean.v /= samples;
    return mean;
}

InputRecorder::InputRecorder(const std::string& displayName)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    socket_ = ends[0];
    pid_ = startChildProcess("/usr/bin/python3", {KESTRIO_INPUT_RECORDER, displayName, std::to_string(ends[1])}, ends[1]);
    close(ends[1]);
    // It says when its window has the focus.
    connected_ = pid_ > 0;
    answer();
}

InputRecorder::~InputRecorder()
{
    close(socket_);  // its end of the conversation: it leaves
    if (pid_ > 0)
        stopChildProcess(pid_, std::chrono::seconds(5));
}

std::vector<std::vector<std::uint32_t>> InputRecorder::answer()
{
    std::vector<std::vector<std::uint32_t>> rows;
    while (connected_) {
        const auto end = received_.find('\n');
        if (end == std::string::npos) {
            pollfd entry{socket_, POLLIN, 0};
            char buffer[4096];
            const ssize_t count = poll(&entry, 1, 15000) == 1 ? read(socket_, buffer, sizeof buffer) : 0;
            if (count <= 0) {
                connected_ = false;
                return rows;
            }
            received_.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        const std::string line = received_.substr(0, end);
        received_.erase(0, end + 1);
        if (line == ".")
            return rows;
        std::istringstream numbers(line);
        rows.emplace_back();
        for (std::uint32_t number = 0; numbers >> number;)
            rows.back().push_back(number);
    }
    return rows;
}

std::vector<std::vector<std::uint32_t>> InputRecorder::ask(const std::string& command)
{
    const std::string line = command + "\n";
    if (!connected_ || send(socket_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        connected_ = false;
        return {};
    }
    return answer();
}

std::vector<InputEvent> InputRecorder::take()
{
    std::vector<InputEvent> events;
    for (const auto& row : ask("take"))
        if (row.size() == 6)
            events.push_back({static_cast<std::uint8_t>(row[0]), static_cast<std::uint8_t>(row[1]), static_cast<int>(row[2]),
                              static_cast<int>(row[3]), static_cast<std::uint16_t>(row[4]), row[5]});
    return events;
}

std::vector<std::vector<std::uint32_t>> InputRecorder::mapping()
{
    return ask("mapping");
}

std::vector<xcb_keycode_t> InputRecorder::emptyKeycodes()
{
    std::vector<xcb_keycode_t> empty;
    for (const auto& row : mapping())
        if (std::all_of(row.begin() + 1, row.end(), [](std::uint32_t keysym) { return keysym == 0; }))
            empty.push_back(static_cast<xcb_keycode_t>(row[0]));
    return empty;
}

xcb_keysym_t InputRecorder::keysymOf(xcb_keycode_t keycode)
{
    for (const auto& row : mapping())
        if (row[0] == keycode && row.size() > 1)
            return row[1];
    return 0;
}

void InputRecorder::setKeysym(xcb_keycode_t keycode, xcb_keysym_t keysym)
{
    ask("set " + std::to_string(keycode) + " " + std::to_string(keysym));
}

void InputRecorder::waitForKeyPresses(std::size_t count)
{
    ask("keys " + std::to_string(count));
}

std::vector<InputEvent> ofType(const std::vector<InputEvent>& events, std::initializer_list<std::uint8_t> types)
{
    std::vector<InputEvent> result;
    std::copy_if(events.begin(), events.end(), std::back_inserter(result), [&](const InputEvent& event) {
        return std::find(types.begin(), types.end(), event.type) != types.end();
    });
    return result;
}

std::vector<xcb_keysym_t> pressedKeysyms(const std::vector<InputEvent>& events)
{
    std::vector<xcb_keysym_t> keysyms;
    for (const auto& event : ofType(events, {XCB_KEY_PRESS}))
        keysyms.push_back(event.keysym);
    return keysyms;
}

}  // namespace kestrio::platform::testing
