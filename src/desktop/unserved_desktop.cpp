#include "desktop/unserved_desktop.h"

#include "display/virtual_display_error.h"

#include <stdexcept>

namespace kestrio::desktop {
namespace {

class UnservedDesktop final : public display::DisplayFacility,
                              public capture::DisplayCaptureFactory,
                              public model::InputEventPoster,
                              public model::PermissionFacility {
public:
    explicit UnservedDesktop(std::string why) : why_(std::move(why)) {}

    std::vector<display::DisplayInfo> displays() override { throw std::runtime_error(why_); }
    std::unique_ptr<display::VirtualMonitor> createVirtualMonitor(display::VirtualResolution, int) override
    {
        throw display::VirtualDisplayException(display::VirtualDisplayError::creationFailed);
    }
    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay&, const capture::CaptureConfiguration&,
                                                         std::shared_ptr<runtime::SerialQueue>,
                                                         capture::DisplayCaptureStream::FrameHandler) override
    {
        throw capture::CaptureError(why_);
    }
    std::optional<model::ScreenPoint> pointerLocation() override { return std::nullopt; }
    void warpPointer(model::ScreenPoint) override {}
    void postMouseEvent(model::MouseEventType, model::ScreenPoint) override {}
    void postScroll(std::int32_t, std::int32_t) override {}
    void postKey(model::Key, model::Modifiers) override {}
    void postText(std::string_view, model::Modifiers) override {}
    bool inputTrusted() override { return false; }
    void promptForInputTrust() override {}
    bool captureAllowed() override { return false; }
    void requestCaptureAccess() override {}

private:
    std::string why_;
};

}  // namespace

DesktopBackend unservedDesktop(model::PlatformWording wording, const std::string& error)
{
    DesktopBackend backend;
    backend.name = "none";
    auto desktop = std::make_shared<UnservedDesktop>(error);
    backend.displays = desktop;
    backend.capture = desktop;
    backend.input = desktop;
    backend.permissions = desktop;
    backend.wording = std::move(wording);
    return backend;
}

}  // namespace kestrio::desktop
