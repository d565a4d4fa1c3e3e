#include "platform/gnome/gnome_input_poster.h"

#include "platform/desktop_common/keysyms.h"
#include "runtime/utf8.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace kestrio::platform::gnome {
namespace {

constexpr int leftButton = 0x110;   // BTN_LEFT
constexpr int rightButton = 0x111;  // BTN_RIGHT

// Typed as keysyms: what every layout has (the Latin letters, digits and punctuation of ASCII).
bool typeable(desktop_common::Keysym keysym) { return keysym >= 0x20 && keysym <= 0x7e; }

}  // namespace

std::shared_ptr<Cast> GnomeInputPoster::castFor(model::ScreenPoint point, double& x, double& y)
{
    auto cast = desktop_->castAt(point.x, point.y);
    if (!cast || cast->area.width <= 0 || cast->area.height <= 0)
        return nullptr;
    // The stream's pixels cover the monitor's logical area.
    auto size = cast->stream->waitForFormat(std::chrono::milliseconds(0));
    const double scaleX = size ? static_cast<double>(size->width) / cast->area.width : 1;
    const double scaleY = size ? static_cast<double>(size->height) / cast->area.height : 1;
    x = (point.x - cast->area.x) * scaleX;
    y = (point.y - cast->area.y) * scaleY;
    return cast;
}

std::optional<model::ScreenPoint> GnomeInputPoster::pointerLocation()
{
    // The compositor does not tell where the pointer is; this is where it was last put.
    std::lock_guard lock(mutex_);
    return location_;
}

void GnomeInputPoster::warpPointer(model::ScreenPoint to) { postMouseEvent(model::MouseEventType::moved, to); }

void GnomeInputPoster::postMouseEvent(model::MouseEventType type, model::ScreenPoint at)
{
    std::lock_guard lock(mutex_);
    double x = 0, y = 0;
    auto cast = castFor(at, x, y);
    if (!cast)
        return;
    cast->session->pointerMotionAbsolute(x, y);
    location_ = at;
    switch (type) {
    case model::MouseEventType::leftDown:
    case model::MouseEventType::leftUp:
        cast->session->pointerButton(leftButton, type == model::MouseEventType::leftDown);
        break;
    case model::MouseEventType::rightDown:
    case model::MouseEventType::rightUp:
        cast->session->pointerButton(rightButton, type == model::MouseEventType::rightDown);
        break;
    case model::MouseEventType::moved:
    case model::MouseEventType::leftDragged:
        break;
    }
}

void GnomeInputPoster::postScroll(std::int32_t vertical, std::int32_t horizontal)
{
    if (vertical == 0 && horizontal == 0)
        return;
    std::lock_guard lock(mutex_);
    double x = 0, y = 0;
    auto cast = castFor(location_.value_or(model::ScreenPoint{}), x, y);
    // Pixel for pixel, so that content moves as far as under the finger on the phone.
    if (cast)
        cast->session->pointerAxis(-horizontal, -vertical);
}

void GnomeInputPoster::postKey(model::Key key, model::Modifiers modifiers)
{
    const desktop_common::Keysym keysym = desktop_common::keysymForKey(key);
    std::lock_guard lock(mutex_);
    double x = 0, y = 0;
    auto cast = castFor(location_.value_or(model::ScreenPoint{}), x, y);
    if (cast && keysym != desktop_common::noSymbol)
        typeKeysym(*cast->session, keysym, modifiers.shortcut);
}

void GnomeInputPoster::postText(std::string_view text, model::Modifiers modifiers)
{
    std::lock_guard lock(mutex_);
    double x = 0, y = 0;
    auto cast = castFor(location_.value_or(model::ScreenPoint{}), x, y);
    if (!cast)
        return;
    // A line with characters the keyboard may not have is pasted whole, so that its typed and
    // pasted characters cannot overtake one another in the program; the editing keys between
    // lines are typed. The paste returns once the program has read it.
    std::vector<std::pair<char32_t, desktop_common::Keysym>> line;
    const auto finishLine = [&] {
        const bool typed = std::all_of(line.begin(), line.end(), [](const auto& character) { return typeable(character.second); });
        if (typed) {
            for (const auto& character : line)
                typeKeysym(*cast->session, character.second, modifiers.shortcut);
        } else {
            std::u32string scalars;
            for (const auto& character : line)
                scalars += character.first;
            cast->session->pasteText(runtime::encodeUtf8(scalars));
        }
        line.clear();
    };
    desktop_common::forEachTypedCharacter(text, [&](char32_t scalar, desktop_common::Keysym keysym) {
        if (keysym >= 0xff08 && keysym <= 0xff0d) {
            finishLine();
            typeKeysym(*cast->session, keysym, modifiers.shortcut);
        } else {
            line.emplace_back(scalar, keysym);
        }
    });
    finishLine();
}

void GnomeInputPoster::typeKeysym(MutterSession& session, std::uint32_t keysym, bool shortcut)
{
    if (shortcut)
        session.keyboardKeysym(desktop_common::controlKeysym, true);
    session.keyboardKeysym(keysym, true);
    session.keyboardKeysym(keysym, false);
    if (shortcut)
        session.keyboardKeysym(desktop_common::controlKeysym, false);
}

}  // namespace kestrio::platform::gnome
