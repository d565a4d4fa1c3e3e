#pragma once

#include "desktop/display_facility.h"
#include "desktop/input_event_poster.h"
#include "link/viewer_control_event.h"
#include "model/control_event_queue.h"
#include "model/display_geometry.h"
#include "model/mouse_control_driver.h"
#include "model/shared_facilities.h"
#include "model/viewer_link.h"
#include "model/volume_control.h"
#include "runtime/clock.h"
#include "runtime/executor.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kestrio::model {

// How long a viewer that flooded the input is turned away afterwards.
inline constexpr std::chrono::seconds inputFloodHoldOff{5};

// The viewer's pointer, keyboard, text and volume events, turned into input on this desktop:
// the bounded backlog of each connection, the pointer driver, the held button and modifier,
// and the volume steps under way. Runs on the main executor, except route(), which the link
// calls on its own queue.
class ViewerInput final {
public:
    // The input's own facilities, beside the shared ones.
    struct Environment {
        std::shared_ptr<InputEventPoster> input;
        std::shared_ptr<runtime::Executor> mouseQueue;  // the pointer driver's own queue
        std::shared_ptr<runtime::Executor> inputQueue;  // posting input, in the order the events came
        std::shared_ptr<VolumeControl> volume;          // volumeControlOff(): the volume keys do nothing
        std::shared_ptr<runtime::Executor> background;  // asks the sound server
    };
    // What the input asks of the rest of the model.
    struct Hooks {
        // Whether the desktop takes synthetic input (asking the user for it when not).
        std::function<bool()> ensureTrusted;
        // The display being streamed, which the viewer's positions fall on.
        std::function<std::optional<std::uint32_t>()> activeDisplay;
    };

    ViewerInput(SharedFacilities shared, Environment environment, Hooks hooks);
    ~ViewerInput();

    ViewerInput(const ViewerInput&) = delete;
    ViewerInput& operator=(const ViewerInput&) = delete;

    // What the caller does after route(): nothing, schedule one applyQueued() on the main
    // executor, or tell the user that the viewer was cut off for flooding.
    enum class Routed { nothing, applyQueued, flooded };
    // On the link's queue: relative motion to the driver, the rest into the bounded backlog.
    // A connection that overflows it is dropped.
    Routed route(const link::ViewerControlEvent& event);
    // On the link's queue: events of any other connection are dropped from now on.
    void setCurrentConnection(std::uint64_t generation) { events_->setCurrentGeneration(generation); }
    // Hands each queued event of the current connection to `handle`; the input it posts keeps
    // the event's place in the backlog.
    void applyQueued(const std::function<void(const link::ViewerControlEvent&)>& handle);
    // Injects one event (pointer, keys, text, volume).
    void apply(const link::ViewerControlEvent& event);
    // Ends what the last viewer left behind: held button, shortcut modifier, motion, typing.
    void forgetViewer();
    // A stream started: the displays are read again before the next event is mapped, and the
    // desktop's input is made ready for the viewer's first event, in turn with the events posted
    // before.
    void prepare();
    void stop();

    bool mouseButtonIsDown() const { return mouseButtonIsDown_; }
    void setMouseButtonIsDown(bool down) { mouseButtonIsDown_ = down; }
    Modifiers keyboardModifiers() const { return keyboardModifiers_; }
    // What the viewer was last told of the input permission.
    std::optional<bool> lastReportedTrust() const { return lastReportedTrust_; }
    const ControlEventQueue& events() const { return *events_; }

private:
    void applyPositionalEvent(const link::ViewerControlEvent& event);
    void typeText(const std::string& text);
    void pressKey(link::ViewerKeyboardKey key);
    void changeSystemVolume(int step);
    // Runs input posting on the input queue, in call order.
    void inject(std::function<void(InputEventPoster&)> work);

    SharedFacilities shared_;
    Environment environment_;
    Hooks hooks_;
    std::shared_ptr<DisplayGeometry> geometry_;
    std::shared_ptr<MouseControlDriver> mouseDriver_;
    std::shared_ptr<ControlEventQueue> events_ = std::make_shared<ControlEventQueue>();
    const ControlEventQueue::Entry* applying_ = nullptr;  // the queued event being applied
    bool mouseButtonIsDown_ = false;
    Modifiers keyboardModifiers_;
    std::optional<bool> lastReportedTrust_;
    struct VolumeSteps;
    std::shared_ptr<VolumeSteps> volumeSteps_;
};

}  // namespace kestrio::model
