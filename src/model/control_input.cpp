// The viewer's pointer, keyboard, text and volume events, turned into input on this desktop.
#include "model/host_model.h"
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
struct HostModel::VolumeSteps {
    std::mutex mutex;
    int pending = 0;
    bool running = false;
};

void HostModel::routeControlEvent(const link::ViewerControlEvent& event)
{
    // Relative motion only replaces the driver's vectors: straight to its queue.
    if (const auto* motion = std::get_if<link::control::MoveRelative>(&event)) {
        mouseControlDriver_->setMouseVelocity(motion->dx, motion->dy);
        return;
    }
    if (const auto* wheel = std::get_if<link::control::Wheel>(&event)) {
        mouseControlDriver_->setWheelVelocity(wheel->deltaX, wheel->deltaY);
        return;
    }
    const std::uint64_t generation = environment_.link->connectionGeneration();
    switch (controlEvents_->offer(event, generation)) {
    case ControlEventQueue::Admission::queuedFirst:
        post([](HostModel& model) { model.applyQueuedControlEvents(); });
        break;
    case ControlEventQueue::Admission::queued:
    case ControlEventQueue::Admission::stale:
        break;
    case ControlEventQueue::Admission::overflow:
        environment_.link->dropConnection(generation, std::string(inputFloodText), inputFloodHoldOff);
        post([](HostModel& model) {
            // Says less than any other error, so it never hides one.
            if (!model.errorMessage_ || *model.errorMessage_ == inputFloodText || *model.errorMessage_ == outsiderRefusedText)
                model.setErrorMessage(std::string(inputFloodText));
        });
        break;
    }
}

void HostModel::applyQueuedControlEvents()
{
    for (const auto& entry : controlEvents_->take()) {
        if (!controlEvents_->isCurrent(entry.generation))
            continue;
        applying_ = &entry;
        handleControlEvent(entry.event);
        applying_ = nullptr;
    }
}

void HostModel::forgetViewerInput()
{
    mouseControlDriver_->haltMotion();
    keyboardModifiers_.shortcut = false;
    if (mouseButtonIsDown_) {
        mouseButtonIsDown_ = false;
        inject([](InputEventPoster& input) {
            const auto at = input.pointerLocation().value_or(ScreenPoint{});
            input.postMouseEvent(MouseEventType::leftUp, at);
        });
    }
}

void HostModel::applyControlEvent(const link::ViewerControlEvent& event)
{
    if (std::holds_alternative<link::control::VolumeUp>(event)) {
        changeSystemVolume(+1);
        return;
    }
    if (std::holds_alternative<link::control::VolumeDown>(event)) {
        changeSystemVolume(-1);
        return;
    }
    if (!ensureTouchPermission()) {
        if (lastReportedTouchPermission_ != false) {
            lastReportedTouchPermission_ = false;
            environment_.link->sendControl("INPUT NEEDS_PERMISSION");
        }
        return;
    }
    if (lastReportedTouchPermission_ != true) {
        lastReportedTouchPermission_ = true;
        environment_.link->sendControl("INPUT READY");
    }
    if (!environment_.input)
        return;

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

void HostModel::inject(std::function<void(InputEventPoster&)> work)
{
    auto input = environment_.input;
    if (!input)
        return;
    // Work for a viewer's event holds the event's place in the backlog until done, and is
    // skipped once that viewer has gone.
    if (applying_) {
        work = [work = std::move(work), events = controlEvents_, generation = applying_->generation,
                receipt = applying_->receipt](InputEventPoster& poster) {
            if (events->isCurrent(generation))
                work(poster);
        };
    }
    // Posting can wait on the display server (a long text waits for its keymap changes to be
    // seen), so it runs on a queue of its own, in the order the events came.
    if (environment_.inputQueue)
        environment_.inputQueue->post([input, work = std::move(work)] { work(*input); });
    else
        work(*input);
}

void HostModel::applyPositionalEvent(const link::ViewerControlEvent& event)
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
    if (!positional || !activeDisplayID_)
        return;
    const auto bounds = geometry_->bounds(*activeDisplayID_);
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

void HostModel::typeText(const std::string& text)
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

void HostModel::pressKey(link::ViewerKeyboardKey key)
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

void HostModel::changeSystemVolume(int step)
{
    auto volume = environment_.volume;
    if (!volume)
        return;
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
    if (environment_.background)
        environment_.background->post(std::move(work));
    else
        work();
}

}  // namespace kestrio::model
