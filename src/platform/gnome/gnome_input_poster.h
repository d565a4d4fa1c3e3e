#pragma once

#include "desktop/input_event_poster.h"
#include "platform/gnome/gnome_desktop.h"

#include <memory>
#include <mutex>

namespace kestrio::platform::gnome {

// Posts input through the remote-desktop session of the monitor being cast: absolute pointer
// motion on its stream, buttons, smooth scrolling in pixels and keys by keysym. Without a cast there is no
// session to post through, and every call does nothing.
//
// The compositor types a keysym only when a key of the current layout has it; a text with
// characters that the layout cannot be counted on for (everything but printable ASCII) is pasted
// through the session's clipboard instead, line by line, and the clipboard put back afterwards.
class GnomeInputPoster final : public model::InputEventPoster {
public:
    explicit GnomeInputPoster(std::shared_ptr<GnomeDesktop> desktop) : desktop_(std::move(desktop)) {}

    std::optional<model::ScreenPoint> pointerLocation() override;
    void warpPointer(model::ScreenPoint to) override;
    void postMouseEvent(model::MouseEventType type, model::ScreenPoint at) override;
    void postScroll(std::int32_t vertical, std::int32_t horizontal) override;
    void postKey(model::Key key, model::Modifiers modifiers) override;
    void postText(std::string_view text, model::Modifiers modifiers) override;

private:
    // The cast under the point (or the one cast), with the point in its stream's space.
    std::shared_ptr<Cast> castFor(model::ScreenPoint point, double& x, double& y);
    void typeKeysym(MutterSession& session, std::uint32_t keysym, bool shortcut);

    std::shared_ptr<GnomeDesktop> desktop_;
    std::mutex mutex_;
    std::optional<model::ScreenPoint> location_;
};

}  // namespace kestrio::platform::gnome
