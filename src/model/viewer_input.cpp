// The viewer's pointer, keyboard, text and volume events, turned into input on this desktop.
#include "model/viewer_input.h"

#include "model/host_status.h"
#include "runtime/utf8.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace kestrio::model {

namespace {

constexpr int volumeStepPercent = 5;
// Steps beyond these change nothing more: the level is kept within 0…100.
constexpr int maxVolumeSteps = 100 / volumeStepPercent;
// Typing goes in pieces of this many characters, so that typing for a viewer that has left
// stops soon (a piece of characters off the keyboard waits for keymap changes).
constexpr std::size_t typingPiece = 64;

}  // namespace

// Volume steps waiting for the sound server, and whether a change is under way.
struct ViewerInput::VolumeSteps {
    std::mutex mutex;
    int pending = 0;
    bool running = false;
};

ViewerInput::ViewerInput(SharedFacilities shared, Environment environment, Hooks hooks)
    : shared_(std::move(shared)), environment_(std::move(environment)), hooks_(std::move(hooks))
{
    geometry_ = std::make_shared<DisplayGeometry>(shared_.displays);
    MouseControlDriver::Environment driver;
    driver.queue = environment_.mouseQueue;
    driver.clock = shared_.clock;
    driver.input = environment_.input;
    driver.displayRects = [geometry = geometry_] { return geometry->rects(); };
    mouseDriver_ = MouseControlDriver::create(std::move(driver));
}

ViewerInput::~ViewerInput()
{
    mouseDriver_->stop();
}

void ViewerInput::stop()
{
    mouseDriver_->stop();
}

ViewerInput::Routed ViewerInput::route(const link::ViewerControlEvent& event)
{
    // Relative motion only replaces the driver's vectors: straight to its queue.
    if (const auto* motion = std::get_if<link::control::MoveRelative>(&event)) {
        mouseDriver_->setMouseVelocity(motion->dx, motion->dy);
        return Routed::nothing;
    }
    if (const auto* wheel = std::get_if<link::control::Wheel>(&event)) {
        mouseDriver_->setWheelVelocity(wheel->deltaX, wheel->deltaY);
        return Routed::nothing;
    }
    const std::uint64_t generation = shared_.link->connectionGeneration();
    switch (events_->offer(event, generation)) {
    case ControlEventQueue::Admission::queuedFirst:
        return Routed::applyQueued;
    case ControlEventQueue::Admission::queued:
    case ControlEventQueue::Admission::stale:
        break;
    case ControlEventQueue::Admission::overflow:
        shared_.link->dropConnection(generation, std::string(inputFloodText), inputFloodHoldOff);
        return Routed::flooded;
    }
    return Routed::nothing;
}

void ViewerInput::applyQueued(const std::function<void(const link::ViewerControlEvent&)>& handle)
{
    for (const auto& entry : events_->take()) {
        if (!events_->isCurrent(entry.generation))
            continue;
        applying_ = &entry;
        handle(entry.event);
        applying_ = nullptr;
    }
}

void ViewerInput::prepare()
{
    geometry_->forget();
    environment_.inputQueue->post([input = environment_.input] { input->prepare(); });
}

void ViewerInput::forgetViewer()
{
    lastReportedTrust_.reset();
    mouseDriver_->haltMotion();
    keyboardModifiers_.shortcut = false;
    if (mouseButtonIsDown_) {
        mouseButtonIsDown_ = false;
        inject([](InputEventPoster& input) {
            const auto at = input.pointerLocation().value_or(ScreenPoint{});
            input.postMouseEvent(MouseEventType::leftUp, at);
        });
    }
}

void ViewerInput::apply(const link::ViewerControlEvent& event)
{
    if (std::holds_alternative<link::control::VolumeUp>(event)) {
        changeSystemVolume(+1);
        return;
    }
    if (std::holds_alternative<link::control::VolumeDown>(event)) {
        changeSystemVolume(-1);
        return;
    }
    if (!hooks_.ensureTrusted()) {
        if (lastReportedTrust_ != false) {
            lastReportedTrust_ = false;
            shared_.link->sendControl("INPUT NEEDS_PERMISSION");
        }
        return;
    }
    if (lastReportedTrust_ != true) {
        lastReportedTrust_ = true;
        shared_.link->sendControl("INPUT READY");
    }
    if (const auto* text = std::get_if<link::control::Text>(&event)) {
        typeText(text->text);
    } else if (const auto* key = std::get_if<link::control::Key>(&event)) {
        pressKey(key->key);
    } else if (std::holds_alternative<link::control::ClickCurrent>(event)) {
        inject([](InputEventPoster& input) {
            const auto at = input.pointerLocation().value_or(ScreenPoint{});
            input.postMouseEvent(MouseEventType::leftDown, at);
            input.postMouseEvent(MouseEventType::leftUp, at);
        });
    } else if (std::holds_alternative<link::control::RightClickCurrent>(event)) {
        inject([](InputEventPoster& input) {
            const auto at = input.pointerLocation().value_or(ScreenPoint{});
            input.postMouseEvent(MouseEventType::rightDown, at);
            input.postMouseEvent(MouseEventType::rightUp, at);
        });
    } else {
        applyPositionalEvent(event);
    }
}

void ViewerInput::inject(std::function<void(InputEventPoster&)> work)
{
    // Work for a viewer's event holds the event's place in the backlog until done, and is
    // skipped once that viewer has gone.
    if (applying_) {
        work = [work = std::move(work), events = events_, generation = applying_->generation,
                receipt = applying_->receipt](InputEventPoster& poster) {
            if (events->isCurrent(generation))
                work(poster);
        };
    }
    // Posting can wait on the display server (a long text waits for its keymap changes to be
    // seen), so it runs on a queue of its own, in the order the events came.
    environment_.inputQueue->post([input = environment_.input, work = std::move(work)] { work(*input); });
}

void ViewerInput::applyPositionalEvent(const link::ViewerControlEvent& event)
{
    // Every positional event carries its point first.
    double x = 0;
    double y = 0;
    const bool positional = std::visit(
        [&](const auto& payload) {
            using Payload = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<Payload, link::control::Move> || std::is_same_v<Payload, link::control::Click> ||
                          std::is_same_v<Payload, link::control::MouseDown> || std::is_same_v<Payload, link::control::MouseUp> ||
                          std::is_same_v<Payload, link::control::RightClick> || std::is_same_v<Payload, link::control::Scroll>) {
                x = payload.x;
                y = payload.y;
                return true;
            }
            return false;
        },
        event);
    const auto display = hooks_.activeDisplay();
    if (!positional || !display)
        return;
    const auto bounds = geometry_->bounds(*display);
    if (!bounds || bounds->empty())
        return;
    const ScreenPoint at{bounds->x + bounds->width * x, bounds->y + bounds->height * y};

    // What follows the warp; decided here, where the button state lives.
    std::vector<MouseEventType> buttons;
    std::pair<std::int32_t, std::int32_t> scrollBy{0, 0};
    if (std::holds_alternative<link::control::Move>(event)) {
        if (mouseButtonIsDown_)
            buttons = {MouseEventType::leftDragged};
    } else if (std::holds_alternative<link::control::Click>(event)) {
        buttons = {MouseEventType::leftDown, MouseEventType::leftUp};
    } else if (std::holds_alternative<link::control::MouseDown>(event)) {
        if (!mouseButtonIsDown_) {
            mouseButtonIsDown_ = true;
            buttons = {MouseEventType::leftDown};
        }
    } else if (std::holds_alternative<link::control::MouseUp>(event)) {
        if (mouseButtonIsDown_) {
            mouseButtonIsDown_ = false;
            buttons = {MouseEventType::leftUp};
        }
    } else if (std::holds_alternative<link::control::RightClick>(event)) {
        buttons = {MouseEventType::rightDown, MouseEventType::rightUp};
    } else if (const auto* scroll = std::get_if<link::control::Scroll>(&event)) {
        scrollBy = scrollAmounts(scroll->deltaX, scroll->deltaY);
    }
    inject([at, buttons = std::move(buttons), scrollBy](InputEventPoster& input) {
        input.warpPointer(at);
        for (const auto type : buttons)
            input.postMouseEvent(type, at);
        const auto [horizontal, vertical] = scrollBy;
        if (horizontal != 0 || vertical != 0)
            input.postScroll(vertical, horizontal);
    });
}

void ViewerInput::typeText(const std::string& text)
{
    const auto modifiers = keyboardModifiers_;
    for (std::string_view rest = text; !rest.empty();) {
        const std::string piece(rest.substr(0, runtime::scalarPrefixLength(rest, typingPiece)));
        rest.remove_prefix(piece.size());
        if (!modifiers.shortcut) {
            inject([piece, modifiers](InputEventPoster& input) { input.postText(piece, modifiers); });
            continue;
        }
        // A shortcut: each character as its key where it has one, so that Command + c copies.
        inject([piece, modifiers](InputEventPoster& input) {
            runtime::forEachScalar(piece, [&](char32_t scalar, std::string_view bytes) {
                if (const auto key = keyForCharacter(scalar))
                    input.postKey(*key, modifiers);
                else
                    input.postText(bytes, modifiers);
            });
        });
    }
}

void ViewerInput::pressKey(link::ViewerKeyboardKey key)
{
    const auto press = [this](Key pressed) {
        inject([pressed, modifiers = keyboardModifiers_](InputEventPoster& input) { input.postKey(pressed, modifiers); });
    };
    switch (key) {
    case link::ViewerKeyboardKey::backspace:
        press(Key::backspace);
        break;
    case link::ViewerKeyboardKey::returnKey:
        press(Key::enter);
        break;
    case link::ViewerKeyboardKey::commandDown:
        keyboardModifiers_.shortcut = true;
        break;
    case link::ViewerKeyboardKey::commandUp:
        keyboardModifiers_.shortcut = false;
        break;
    }
}

void ViewerInput::changeSystemVolume(int step)
{
    auto volume = environment_.volume;
    if (!volumeSteps_)
        volumeSteps_ = std::make_shared<VolumeSteps>();
    auto steps = volumeSteps_;
    {
        std::lock_guard lock(steps->mutex);
        steps->pending = std::clamp(steps->pending + (step > 0 ? 1 : -1), -maxVolumeSteps, maxVolumeSteps);
        if (std::exchange(steps->running, true))
            return;  // the change under way takes this step too
    }
    // The sound server is another process: ask it off the main executor. Steps that come while
    // it is being asked become one change of their sum.
    auto work = [volume, steps] {
        for (;;) {
            int sum = 0;
            {
                std::lock_guard lock(steps->mutex);
                sum = std::exchange(steps->pending, 0);
                if (sum == 0) {
                    steps->running = false;
                    return;
                }
            }
            const auto current = volume->outputVolume();
            if (!current)
                continue;
            const int level = *current + sum * volumeStepPercent;
            volume->setOutputVolume(std::clamp(level, 0, 100), level < 1);
        }
    };
    environment_.background->post(std::move(work));
}

}  // namespace kestrio::model
