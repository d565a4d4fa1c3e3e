#pragma once

#include "desktop/display_facility.h"
#include "desktop/permission_facility.h"
#include "desktop/platform_wording.h"
#include "display/display_list.h"
#include "display/virtual_display_manager.h"
#include "display/virtual_resolution.h"
#include "model/capture_session.h"
#include "model/change_notice.h"
#include "model/host_status.h"
#include "model/settings_store.h"
#include "model/shared_facilities.h"
#include "model/stream_options.h"
#include "model/viewer_link.h"
#include "runtime/cancellation.h"
#include "runtime/clock.h"
#include "runtime/executor.h"
#include "runtime/task.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrio::model {

// The stream: its settings, the displays to choose from, starting and stopping capture, the
// virtual monitor and its fallback to mirroring, and the reactions to the viewer coming and
// going. Runs on the main executor.
class Streaming final : public std::enable_shared_from_this<Streaming> {
public:
    // The stream's own facility, beside the shared ones.
    struct Environment {
        CaptureSessionFactory captureSessions;
    };
    // What the stream reports to the rest of the model.
    struct Hooks {
        std::function<void()> willStart;  // asks for input permission before a stream starts
        std::function<void()> didStart;   // a stream has started (also after a mode switch)
        std::function<void(std::optional<HostError>)> showError;
        std::function<void(bool)> showScreenPermissionNeeded;
        std::function<void()> showMirrorFallback;
        // Runs a task of the stream's on the main executor for as long as the model lives.
        std::function<void(std::function<runtime::Task<void>(Streaming&)>)> launch;
        // The desktop session ended under the stream; the text says so, for the user.
        std::function<void(std::string)> desktopGone;
    };

    Streaming(SharedFacilities shared, Environment environment, Hooks hooks, ChangeNotice notice);
    ~Streaming();

    Streaming(const Streaming&) = delete;
    Streaming& operator=(const Streaming&) = delete;

    // Reads the stored setting.
    void load();
    // Ends the stream, the virtual monitor and the discovery; does nothing afterwards.
    void shutdown();

    const std::vector<display::DisplayInfo>& displays() const { return displayList_.displays(); }
    std::uint32_t selectedDisplayID() const { return displayList_.selectedDisplayID(); }
    const std::set<std::uint32_t>& knownVirtualDisplayIDs() const { return displayList_.knownVirtualDisplayIDs(); }
    std::optional<display::DisplayInfo> currentDisplay() const { return displayList_.currentDisplay(); }
    SourceMode sourceMode() const { return sourceMode_; }
    display::VirtualResolution virtualResolution() const { return virtualResolution_; }
    StreamQuality quality() const { return quality_; }
    StreamFrameRate frameRate() const { return frameRate_; }
    bool autoStartOnConnect() const { return autoStartOnConnect_; }
    bool isStreaming() const { return isStreaming_; }
    bool isBusy() const { return isBusy_; }
    std::optional<std::uint32_t> activeDisplayID() const { return activeDisplayID_; }
    // A virtual monitor is held that the desktop keeps the pointer (and so the viewer's touches) out of.
    bool virtualMonitorUnreachable() const { return virtualMonitorUnreachable_; }
    bool viewerDiscoveryRunning() const { return viewerDiscovery_ != nullptr; }

    void setSelectedDisplayID(std::uint32_t id);
    void setSourceMode(SourceMode mode) { notice_.assign(sourceMode_, mode); }
    void setVirtualResolution(display::VirtualResolution resolution) { notice_.assign(virtualResolution_, resolution); }
    void setQuality(StreamQuality quality) { notice_.assign(quality_, quality); }
    void setFrameRate(StreamFrameRate rate) { notice_.assign(frameRate_, rate); }
    // Stored.
    void setAutoStartOnConnect(bool on);

    runtime::Task<void> start();
    runtime::Task<void> stop();
    runtime::Task<void> sourceModeDidChange();
    runtime::Task<void> refreshDisplays();
    // The viewer asked for the other mode: a stream under way restarts in it.
    runtime::Task<void> switchMode(SourceMode mode);

    // How the viewer's connection changed since the last look.
    struct ViewerChange {
        bool connected = false;
        bool isNew = false;          // a viewer came, or replaced the last one
        bool newOrGone = false;      // the last viewer's input no longer applies
    };
    ViewerChange noteViewer();
    // Advertises while streaming to no one; starts (or restarts) a stream for a new viewer when
    // that is on.
    runtime::Task<void> followViewer(ViewerChange change);

private:
    runtime::Task<display::DisplayInfo> prepareVirtualDisplay();
    runtime::Task<void> beginCapture(display::DisplayInfo display);
    // Keeping the stream going when the desktop takes its picture away (streaming_recovery.cpp).
    void captureEnded(std::uint64_t run, const capture::CaptureEnd& end);
    runtime::Task<void> watchDisplay(std::uint64_t run);
    runtime::Task<void> recoverCapture(std::uint64_t run, std::optional<capture::CaptureEnd> end);
    // Mirrors the display now selected, saying so (and that the virtual monitor was given up).
    runtime::Task<void> fallBackFrom(bool virtualMonitor);
    // Starts capturing `display`; when that fails, ends the start with the capture's error.
    runtime::Task<bool> beginCaptureOrFail(display::DisplayInfo display);
    runtime::Task<void> failStart(HostError error);
    void stopCapture();
    void releaseVirtualMonitor();
    void startViewerDiscovery();
    void cancelViewerDiscovery();
    static runtime::Task<void> runViewerDiscovery(std::weak_ptr<Streaming> weak, std::shared_ptr<runtime::CancellationSource> source);
    bool discoveryShouldEnd() const;

    SharedFacilities shared_;
    Environment environment_;
    Hooks hooks_;
    ChangeNotice notice_;
    bool shutDown_ = false;

    display::DisplayList displayList_;
    SourceMode sourceMode_ = SourceMode::virtualDisplay;
    display::VirtualResolution virtualResolution_ = display::VirtualResolution::fullHD;
    StreamQuality quality_ = StreamQuality::balanced;
    StreamFrameRate frameRate_ = StreamFrameRate::sixty;
    bool autoStartOnConnect_ = true;
    bool isStreaming_ = false;
    bool isBusy_ = false;

    std::unique_ptr<CaptureSession> capturer_;
    std::uint64_t captureRun_ = 0;                      // counts the captures started and stopped
    std::optional<display::DisplayInfo> captured_;      // the display as the running capture took it
    std::unique_ptr<display::VirtualDisplayManager> virtualDisplay_;
    bool virtualMonitorUnreachable_ = false;
    int virtualMonitorLosses_ = 0;  // the desktop removed the stream's virtual monitor, since the stream was stopped
    std::optional<std::uint32_t> activeDisplayID_;
    std::shared_ptr<runtime::CancellationSource> viewerDiscovery_;
    bool viewerWasConnected_ = false;
    std::uint64_t viewerGeneration_ = 0;  // the connection last handled
};

}  // namespace kestrio::model
