// The keyboard side of XTestInputPoster: keys and text typed by keysym, with the keysyms that no
// key types lent to spare keycodes.
#include "platform/x11/xtest_input_core.h"

#include <X11/keysym.h>
#include <xcb/xtest.h>

#include <array>
#include <thread>

namespace kestrio::platform::x11 {

using namespace xtest;

void XTestInputPoster::Core::postKey(model::Key key, model::Modifiers modifiers)
{
    const xcb_keysym_t keysym = keysymForKey(key);
    if (keysym == noSymbol)
        return;
    SigpipeGuard guard;
    std::unique_lock lock(mutex_);
    if (!prepare(true))
        return;
    typeKeysyms(lock, std::span(&keysym, 1), modifiers.shortcut);
}

void XTestInputPoster::Core::postText(std::string_view text, model::Modifiers modifiers)
{
    const auto keysyms = keysymsForText(text);
    if (keysyms.empty())
        return;
    SigpipeGuard guard;
    std::unique_lock lock(mutex_);
    if (!prepare(true))
        return;
    typeKeysyms(lock, keysyms, modifiers.shortcut);
}

void XTestInputPoster::Core::restoreWhenQuiet()
{
    SigpipeGuard guard;
    std::unique_lock lock(mutex_);
    restoreScheduled_ = false;
    if (closed_ || !session_)
        return;  // a new session schedules its own restore
    emptySpareKeycodes(lock, true);
}

bool XTestInputPoster::Core::refreshMapping()
{
    auto reply = awaitReply(requestMapping(connection()).sequence);
    if (!reply)
        return false;
    auto mapping = mappingFrom(xcb_get_setup(connection()),
                               static_cast<const xcb_get_keyboard_mapping_reply_t*>(reply.get()));
    if (!mapping)
        return false;
    session_->mapping = std::move(*mapping);
    mappingStale_ = false;
    takeSpareKeycodes();
    return true;
}

void XTestInputPoster::Core::takeSpareKeycodes()
{
    const KeyboardMapping& mapping = session_->mapping;
    std::vector<SpareKeycode> spares;
    for (auto& spare : spares_) {
        if (!mapping.contains(spare.keycode))
            continue;
        if (spare.keysym != noSymbol && mapping.typesOnly(spare.keycode, spare.keysym)) {
            spares.push_back(spare);
        } else if (mapping.isEmpty(spare.keycode)) {
            spare.keysym = noSymbol;
            spares.push_back(spare);
        }
    }
    for (std::size_t index = 0; index < mapping.keycodeCount(); ++index) {
        const auto keycode = static_cast<xcb_keycode_t>(mapping.minKeycode + index);
        const bool known = std::any_of(spares.begin(), spares.end(), [keycode](const SpareKeycode& spare) {
            return spare.keycode == keycode;
        });
        if (!known && mapping.isEmpty(keycode)) {
            SpareKeycode spare;
            spare.keycode = keycode;
            spares.push_back(spare);
        }
    }
    spares_ = std::move(spares);
}

bool XTestInputPoster::Core::holdsLentKeys() const
{
    return std::any_of(spares_.begin(), spares_.end(), [](const SpareKeycode& spare) { return spare.keysym != noSymbol; });
}

bool XTestInputPoster::Core::typeKeysyms(std::unique_lock<std::mutex>& lock, std::span<const xcb_keysym_t> keysyms, bool control)
{
    std::size_t next = 0;
    while (next < keysyms.size()) {
        if (!session_)
            return false;
        std::optional<xcb_keycode_t> controlKey;
        if (control) {
            controlKey = keyboardKeycode(XK_Control_L);
            if (!controlKey)
                controlKey = keyboardKeycode(XK_Control_R);
            // Without Control the keys would type instead of giving the command.
            if (!controlKey)
                return true;
        }
        const TypingBatch batch = planBatch(keysyms.subspan(next));
        if (!batch.lends.empty() && !readyToChangeMapping(lock))
            continue;  // the lock was let go meanwhile, or the session ended: plan again
        for (const auto& [index, keysym] : batch.lends)
            lend(spares_[index], keysym);
        for (const auto& keycode : batch.keys)
            if (keycode && !press(*keycode, controlKey))
                return false;
        next += batch.keys.size();
    }
    return true;
}

XTestInputPoster::Core::TypingBatch XTestInputPoster::Core::planBatch(std::span<const xcb_keysym_t> keysyms) const
{
    TypingBatch batch;
    std::vector<xcb_keysym_t> holds(spares_.size());
    std::transform(spares_.begin(), spares_.end(), holds.begin(), [](const SpareKeycode& spare) { return spare.keysym; });
    std::vector<bool> typedOn(spares_.size(), false);
    for (xcb_keysym_t keysym : keysyms) {
        if (auto keycode = keyboardKeycode(keysym)) {
            batch.keys.push_back(keycode);
            continue;
        }
        std::optional<std::size_t> spare;
        if (auto held = std::find(holds.begin(), holds.end(), keysym); held != holds.end()) {
            spare = static_cast<std::size_t>(held - holds.begin());
        } else {
            // The one typed on longest ago, whose last key clients have most likely read.
            for (std::size_t index = 0; index < spares_.size(); ++index)
                if (!typedOn[index] && (!spare || spares_[index].lastPressed < spares_[*spare].lastPressed))
                    spare = index;
            if (!spare && !spares_.empty())
                break;  // every spare keycode is typed on in this batch
            if (spare) {
                holds[*spare] = keysym;
                batch.lends.emplace_back(*spare, keysym);
            }
        }
        if (spare)
            typedOn[*spare] = true;
        batch.keys.push_back(spare ? std::optional(spares_[*spare].keycode) : std::nullopt);
    }
    return batch;
}

std::optional<xcb_keycode_t> XTestInputPoster::Core::keyboardKeycode(xcb_keysym_t keysym) const
{
    const KeyboardMapping& mapping = session_->mapping;
    for (std::size_t index = 0; index < mapping.keycodeCount(); ++index) {
        const auto keycode = static_cast<xcb_keycode_t>(mapping.minKeycode + index);
        if (mapping.keysyms[index * mapping.perKeycode] == keysym && !isSpare(keycode))
            return keycode;
    }
    return std::nullopt;
}

bool XTestInputPoster::Core::press(xcb_keycode_t keycode, std::optional<xcb_keycode_t> controlKey)
{
    if (controlKey)
        fakeInput(XCB_KEY_PRESS, *controlKey);
    fakeInput(XCB_KEY_PRESS, keycode);
    const auto release = fakeInput(XCB_KEY_RELEASE, keycode);
    if (controlKey)
        fakeInput(XCB_KEY_RELEASE, *controlKey);
    SpareKeycode* spare = spareAt(spares_, keycode);
    if (spare || changedSinceLastPress_) {
        lastMappingSensitivePress_ = std::chrono::steady_clock::now();
        mappingSensitiveRelease_ = release.sequence;
        changedSinceLastPress_ = false;
    }
    if (spare) {
        spare->lastPressed = std::chrono::steady_clock::now();
        noteSpareUse();
    }
    return flush();
}

bool XTestInputPoster::Core::readyToChangeMapping(std::unique_lock<std::mutex>& lock)
{
    if (mappingSensitiveRelease_ && !answered(*mappingSensitiveRelease_) && !roundTrip())
        return false;
    mappingSensitiveRelease_.reset();
    const auto readyAt = lastMappingSensitivePress_ + spareKeycodeReuseDelay;
    if (std::chrono::steady_clock::now() >= readyAt)
        return true;
    lock.unlock();
    std::this_thread::sleep_until(readyAt);
    lock.lock();
    return false;
}

void XTestInputPoster::Core::lend(SpareKeycode& spare, xcb_keysym_t keysym)
{
    // The keysym on both levels, so that Shift or Caps Lock held by the user changes nothing.
    const std::array<xcb_keysym_t, 2> keysyms{keysym, keysym};
    xcb_change_keyboard_mapping(connection(), 1, spare.keycode, static_cast<std::uint8_t>(keysyms.size()), keysyms.data());
    auto row = session_->mapping.row(spare.keycode);
    std::fill(row.begin(), row.end(), noSymbol);
    std::copy_n(keysyms.begin(), std::min(row.size(), keysyms.size()), row.begin());
    spare.keysym = keysym;
    changedSinceLastPress_ = true;
    noteSpareUse();
}

void XTestInputPoster::Core::emptySpareKeycodes(std::unique_lock<std::mutex>& lock, bool whenQuiet)
{
    if (!holdsLentKeys())
        return;
    // Read afresh, so that a key another client has taken since is left to it.
    if (session_)
        drainEvents();
    if (!session_ || !refreshMapping())
        return;
    for (;;) {
        if (!session_)
            return;
        if (whenQuiet && !closed_) {
            const auto quiet = clock_->now() - lastSpareUse_;
            if (quiet < spareKeycodeRestoreDelay) {
                scheduleRestore(spareKeycodeRestoreDelay - quiet);
                return;
            }
        }
        if (!holdsLentKeys())
            return;
        if (readyToChangeMapping(lock))
            break;
    }
    for (auto& spare : spares_) {
        if (spare.keysym == noSymbol)
            continue;
        xcb_change_keyboard_mapping(connection(), 1, spare.keycode, 1, &noSymbol);
        auto row = session_->mapping.row(spare.keycode);
        std::fill(row.begin(), row.end(), noSymbol);
        spare.keysym = noSymbol;
    }
    changedSinceLastPress_ = true;
    flush();
}

void XTestInputPoster::Core::noteSpareUse()
{
    lastSpareUse_ = clock_->now();
    scheduleRestore(spareKeycodeRestoreDelay);
}

void XTestInputPoster::Core::scheduleRestore(runtime::Duration delay)
{
    if (restoreScheduled_ || closed_)
        return;
    restoreScheduled_ = true;
    restoreTimer_ = clock_->schedule(delay, queue_, [weak = weak_from_this()] {
        if (auto core = weak.lock())
            core->restoreWhenQuiet();
    });
}

}  // namespace kestrio::platform::x11
