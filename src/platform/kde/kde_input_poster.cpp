#include "platform/kde/kde_input_poster.h"

#include "runtime/utf8.h"

#include "fake-input.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <vector>

namespace kestrio::platform::kde {
namespace {

constexpr std::uint32_t leftButton = 0x110;   // BTN_LEFT
constexpr std::uint32_t rightButton = 0x111;  // BTN_RIGHT
constexpr std::uint32_t leftControl = 29;     // KEY_LEFTCTRL
constexpr std::uint32_t leftShift = 42;       // KEY_LEFTSHIFT
constexpr std::uint32_t pressed = 1;
constexpr std::uint32_t released = 0;
constexpr std::uint32_t verticalScroll = 0;
constexpr std::uint32_t horizontalScroll = 1;
constexpr int unitsPerClick = 10;  // of a wheel's axis events
constexpr std::uint32_t evdevOffset = 8;  // xkb's key codes are the kernel's plus 8
constexpr desktop_common::Keysym pasteKeysym = 0x76;  // v

bool editingKey(desktop_common::Keysym keysym)
{
    return keysym >= 0xff08 && keysym <= 0xff0d;  // BackSpace, Tab, Linefeed, Clear, Return
}

}  // namespace

KdeInputPoster::KdeInputPoster(std::shared_ptr<KdeDesktop> desktop)
    : desktop_(std::move(desktop)), connection_(desktop_->connection()), clipboard_(std::make_unique<KwinClipboard>(connection_))
{
}

KdeInputPoster::~KdeInputPoster() = default;

bool KdeInputPoster::ready(std::unique_lock<std::mutex>&)
{
    auto* fakeInput = connection_->fakeInput();
    if (!fakeInput || connection_->broken())
        return false;
    if (!authenticated_) {
        // KWin takes fake input only from a client that said who it is and why.
        org_kde_kwin_fake_input_authenticate(fakeInput, "Kestrio", "터치 제어 · Touch control from the phone");
        authenticated_ = true;
    }
    if (connection_->keymapVersion() != layoutVersion_) {
        layoutVersion_ = connection_->keymapVersion();
        readLayout(connection_->keymap());
    }
    return true;
}

void KdeInputPoster::readLayout(const std::string& keymap)
{
    layout_.clear();
    xkb_context* context = xkb_context_new(static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!context)
        return;
    xkb_keymap* parsed =
        keymap.empty() ? nullptr : xkb_keymap_new_from_string(context, keymap.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (parsed) {
        const xkb_mod_index_t shiftIndex = xkb_keymap_mod_get_index(parsed, XKB_MOD_NAME_SHIFT);
        const xkb_mod_mask_t shift = shiftIndex == XKB_MOD_INVALID ? 0 : (1u << shiftIndex);
        // The first layout's keys; a keysym typed on several keys takes the first, at the lowest level.
        for (xkb_keycode_t code = xkb_keymap_min_keycode(parsed); code <= xkb_keymap_max_keycode(parsed); ++code) {
            if (code < evdevOffset)
                continue;
            for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(parsed, code, 0); ++level) {
                const xkb_keysym_t* keysyms = nullptr;
                if (xkb_keymap_key_get_syms_by_level(parsed, code, 0, level, &keysyms) != 1)
                    continue;
                xkb_mod_mask_t masks[8];
                const std::size_t count = xkb_keymap_key_get_mods_for_level(parsed, code, 0, level, masks, 8);
                const bool plain = std::find(masks, masks + count, 0u) != masks + count;
                const bool shifted = shift && std::find(masks, masks + count, shift) != masks + count;
                if ((plain || shifted) && !layout_.count(keysyms[0]))
                    layout_[keysyms[0]] = {code - evdevOffset, !plain};
            }
        }
        xkb_keymap_unref(parsed);
    }
    xkb_context_unref(context);
}

std::optional<KdeInputPoster::KeyStroke> KdeInputPoster::strokeOf(desktop_common::Keysym keysym)
{
    const auto found = layout_.find(keysym);
    if (found == layout_.end())
        return std::nullopt;
    return found->second;
}

void KdeInputPoster::type(const KeyStroke& stroke, bool shortcut)
{
    auto* fakeInput = connection_->fakeInput();
    if (shortcut)
        org_kde_kwin_fake_input_keyboard_key(fakeInput, leftControl, pressed);
    if (stroke.shift)
        org_kde_kwin_fake_input_keyboard_key(fakeInput, leftShift, pressed);
    org_kde_kwin_fake_input_keyboard_key(fakeInput, stroke.code, pressed);
    org_kde_kwin_fake_input_keyboard_key(fakeInput, stroke.code, released);
    if (stroke.shift)
        org_kde_kwin_fake_input_keyboard_key(fakeInput, leftShift, released);
    if (shortcut)
        org_kde_kwin_fake_input_keyboard_key(fakeInput, leftControl, released);
}

std::optional<model::ScreenPoint> KdeInputPoster::pointerLocation()
{
    // KWin does not tell clients where the pointer is; this is where it was last put.
    std::lock_guard lock(mutex_);
    return location_;
}

void KdeInputPoster::prepare()
{
    std::lock_guard lock(mutex_);
    auto held = connection_->lock();
    if (!ready(held))
        return;
    try {
        connection_->sync(held);
    } catch (const KwinError&) {
    }
}

void KdeInputPoster::warpPointer(model::ScreenPoint to) { postMouseEvent(model::MouseEventType::moved, to); }

void KdeInputPoster::postMouseEvent(model::MouseEventType type, model::ScreenPoint at)
{
    std::lock_guard lock(mutex_);
    auto held = connection_->lock();
    if (!ready(held))
        return;
    auto* fakeInput = connection_->fakeInput();
    org_kde_kwin_fake_input_pointer_motion_absolute(fakeInput, wl_fixed_from_double(at.x), wl_fixed_from_double(at.y));
    location_ = at;
    switch (type) {
    case model::MouseEventType::leftDown:
    case model::MouseEventType::leftUp:
        org_kde_kwin_fake_input_button(fakeInput, leftButton, type == model::MouseEventType::leftDown ? pressed : released);
        break;
    case model::MouseEventType::rightDown:
    case model::MouseEventType::rightUp:
        org_kde_kwin_fake_input_button(fakeInput, rightButton, type == model::MouseEventType::rightDown ? pressed : released);
        break;
    case model::MouseEventType::moved:
    case model::MouseEventType::leftDragged:
        break;
    }
    connection_->flush();
}

void KdeInputPoster::postScroll(std::int32_t vertical, std::int32_t horizontal)
{
    if (vertical == 0 && horizontal == 0)
        return;
    std::lock_guard lock(mutex_);
    auto held = connection_->lock();
    if (!ready(held))
        return;
    // KWin takes fake scrolls as a wheel's, ten units a click (programs scroll three lines a
    // click), so pixels go as whole clicks, as on X11.
    auto* fakeInput = connection_->fakeInput();
    if (const int clicks = verticalClicks_.add(vertical))
        org_kde_kwin_fake_input_axis(fakeInput, verticalScroll, wl_fixed_from_int(-clicks * unitsPerClick));
    if (const int clicks = horizontalClicks_.add(horizontal))
        org_kde_kwin_fake_input_axis(fakeInput, horizontalScroll, wl_fixed_from_int(-clicks * unitsPerClick));
    connection_->flush();
}

void KdeInputPoster::postKey(model::Key key, model::Modifiers modifiers)
{
    const desktop_common::Keysym keysym = desktop_common::keysymForKey(key);
    std::lock_guard lock(mutex_);
    auto held = connection_->lock();
    if (!ready(held) || keysym == desktop_common::noSymbol)
        return;
    if (const auto stroke = strokeOf(keysym)) {
        type(*stroke, modifiers.shortcut);
        connection_->flush();
    }
}

void KdeInputPoster::postText(std::string_view text, model::Modifiers modifiers)
{
    std::lock_guard lock(mutex_);
    auto held = connection_->lock();
    if (!ready(held))
        return;
    const auto paste = strokeOf(pasteKeysym);
    // A line with characters the layout lacks is pasted whole, so that its typed and pasted
    // characters cannot overtake one another in the program; the editing keys between lines are
    // typed. The paste returns once the program has read it.
    std::vector<std::pair<char32_t, desktop_common::Keysym>> line;
    const auto finishLine = [&] {
        const bool typed = std::all_of(line.begin(), line.end(), [&](const auto& character) { return strokeOf(character.second); });
        if (typed) {
            for (const auto& character : line)
                type(*strokeOf(character.second), modifiers.shortcut);
            connection_->flush();
        } else if (paste) {
            std::u32string scalars;
            for (const auto& character : line)
                scalars += character.first;
            held.unlock();
            clipboard_->pasteText(runtime::encodeUtf8(scalars), [&] { type(*paste, true); });
            held.lock();
        }
        line.clear();
    };
    desktop_common::forEachTypedCharacter(text, [&](char32_t scalar, desktop_common::Keysym keysym) {
        if (editingKey(keysym)) {
            finishLine();
            if (const auto stroke = strokeOf(keysym))
                type(*stroke, modifiers.shortcut);
        } else {
            line.emplace_back(scalar, keysym);
        }
    });
    finishLine();
    connection_->flush();
}

}  // namespace kestrio::platform::kde
