// The pointer side of XTestInputPoster: motion, buttons and the wheel.
#include "platform/x11/xtest_input_core.h"

#include <xcb/xtest.h>

#include <cmath>
#include <cstdlib>

namespace kestrio::platform::x11 {
namespace {

using model::MouseEventType;
using model::ScreenPoint;

std::optional<std::pair<std::int16_t, std::int16_t>> pixelAt(ScreenPoint point)
{
    if (!std::isfinite(point.x) || !std::isfinite(point.y))
        return std::nullopt;
    auto coordinate = [](double value) {
        return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
    };
    return std::pair{coordinate(point.x), coordinate(point.y)};
}

}  // namespace

using namespace xtest;

std::optional<ScreenPoint> XTestInputPoster::Core::pointerLocation()
{
    SigpipeGuard guard;
    std::unique_lock lock(mutex_);
    if (!prepare(false))
        return std::nullopt;
    const auto cookie = xcb_query_pointer(connection(), session_->root);
    auto reply = awaitReply(cookie.sequence);
    if (!reply)
        return std::nullopt;
    const auto* pointer = static_cast<const xcb_query_pointer_reply_t*>(reply.get());
    return ScreenPoint{static_cast<double>(pointer->root_x), static_cast<double>(pointer->root_y)};
}

void XTestInputPoster::Core::warpPointer(ScreenPoint to)
{
    const auto pixel = pixelAt(to);
    if (!pixel)
        return;
    SigpipeGuard guard;
    std::unique_lock lock(mutex_);
    if (!prepare(false))
        return;
    xcb_warp_pointer(connection(), XCB_NONE, session_->root, 0, 0, 0, 0, pixel->first, pixel->second);
    flush();
}

void XTestInputPoster::Core::postMouseEvent(MouseEventType type, ScreenPoint at)
{
    SigpipeGuard guard;
    std::unique_lock lock(mutex_);
    if (!prepare(false) || !session_->xtest)
        return;
    moveTo(at);
    switch (type) {
    case MouseEventType::leftDown:
        fakeInput(XCB_BUTTON_PRESS, 1);
        break;
    case MouseEventType::leftUp:
        fakeInput(XCB_BUTTON_RELEASE, 1);
        break;
    case MouseEventType::rightDown:
        fakeInput(XCB_BUTTON_PRESS, 3);
        break;
    case MouseEventType::rightUp:
        fakeInput(XCB_BUTTON_RELEASE, 3);
        break;
    case MouseEventType::moved:
    case MouseEventType::leftDragged:
        break;
    }
    flush();
}

void XTestInputPoster::Core::postScroll(std::int32_t vertical, std::int32_t horizontal)
{
    SigpipeGuard guard;
    std::unique_lock lock(mutex_);
    const int up = verticalClicks_.add(vertical);
    const int left = horizontalClicks_.add(horizontal);
    if ((up == 0 && left == 0) || !prepare(false) || !session_->xtest)
        return;
    click(up > 0 ? 4 : 5, std::abs(up));
    click(left > 0 ? 6 : 7, std::abs(left));
    flush();
}

xcb_void_cookie_t XTestInputPoster::Core::fakeInput(std::uint8_t type, std::uint8_t detail, std::int16_t x, std::int16_t y)
{
    return xcb_test_fake_input(connection(), type, detail, XCB_CURRENT_TIME,
                               type == XCB_MOTION_NOTIFY ? session_->root : XCB_NONE, x, y, 0);
}

void XTestInputPoster::Core::moveTo(ScreenPoint point)
{
    if (auto pixel = pixelAt(point))
        fakeInput(XCB_MOTION_NOTIFY, 0, pixel->first, pixel->second);
}

void XTestInputPoster::Core::click(std::uint8_t button, int count)
{
    for (int i = 0; i < count; ++i) {
        fakeInput(XCB_BUTTON_PRESS, button);
        fakeInput(XCB_BUTTON_RELEASE, button);
    }
}

}  // namespace kestrio::platform::x11
