// Starting and stopping a stream, the virtual monitor and its fallback to mirroring, and the
// reactions to the viewer coming and going.
#include "model/streaming.h"

#include "display/virtual_display_error.h"
#include "model/settings_keys.h"

#include <chrono>
#include <exception>
#include <utility>

namespace kestrio::model {

namespace {

using namespace std::chrono_literals;

constexpr int virtualMonitorAttempts = 3;
constexpr runtime::Duration virtualMonitorRetryDelay = 450ms;

HostError describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const display::VirtualDisplayException& caught) {
        if (caught.error() == display::VirtualDisplayError::notVisible)
            return {HostError::Kind::virtualMonitorNotShown, {}};
        return HostError::failed(caught.what());
    } catch (const std::exception& caught) {
        return HostError::failed(caught.what());
    } catch (...) {
        return HostError::failed(std::string(display::description(display::VirtualDisplayError::creationFailed)));
    }
}


}  // namespace

Streaming::Streaming(SharedFacilities shared, Environment environment, Hooks hooks, ChangeNotice notice)
    : shared_(std::move(shared)),
      environment_(std::move(environment)),
      hooks_(std::move(hooks)),
      notice_(std::move(notice)),
      displayList_(shared_.displays, shared_.clock, [permissions = shared_.permissions] { return permissions->captureAllowed(); })
{
}

Streaming::~Streaming()
{
    if (capturer_)
        capturer_->stop();
}

void Streaming::load()
{
    autoStartOnConnect_ = shared_.settings->boolValue(settingsKey::autoStartOnConnect).value_or(true);
}

void Streaming::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    cancelViewerDiscovery();
    stopCapture();
    releaseVirtualMonitor();
    activeDisplayID_.reset();
}

void Streaming::setSelectedDisplayID(std::uint32_t id)
{
    if (displayList_.selectedDisplayID() == id)
        return;
    notice_();
    displayList_.select(id);
}

void Streaming::setAutoStartOnConnect(bool on)
{
    notice_.assign(autoStartOnConnect_, on);
    shared_.settings->setBool(settingsKey::autoStartOnConnect, autoStartOnConnect_);
}

runtime::Task<void> Streaming::refreshDisplays()
{
    // The list changes inside the refresh, so observers hear of it first.
    notice_();
    if (!displayList_.refreshDisplays()) {
        const bool permissionNeeded = displayList_.screenPermissionNeeded();
        hooks_.showScreenPermissionNeeded(permissionNeeded);
        if (permissionNeeded)
            hooks_.showError(HostError{HostError::Kind::screenPermission, {}});
        else if (const auto& message = displayList_.errorMessage())
            hooks_.showError(HostError::failed(*message));
        else
            hooks_.showError(std::nullopt);
    }
    co_return;
}

void Streaming::releaseVirtualMonitor()
{
    if (!virtualDisplay_)
        return;
    virtualDisplay_->release();
    virtualDisplay_.reset();
    notice_.assign(virtualMonitorUnreachable_, false);
}

void Streaming::stopCapture()
{
    ++captureRun_;
    captured_.reset();
    if (capturer_) {
        capturer_->stop();
        capturer_.reset();
    }
}

runtime::Task<void> Streaming::start()
{
    if (isBusy_)
        co_return;
    hooks_.willStart();
    notice_.assign(isBusy_, true);
    hooks_.showError(std::nullopt);

    try {
        stopCapture();
        activeDisplayID_.reset();
        releaseVirtualMonitor();
        startViewerDiscovery();

        std::exception_ptr pending;
        if (sourceMode_ == SourceMode::virtualDisplay) {
            std::optional<display::DisplayInfo> prepared;
            try {
                prepared = co_await prepareVirtualDisplay();
            } catch (const runtime::TaskCancelled&) {
                throw;
            } catch (...) {
                pending = std::current_exception();
            }
            if (prepared) {
                try {
                    co_await beginCapture(*prepared);
                    notice_.assign(isBusy_, false);
                    co_return;
                } catch (const runtime::TaskCancelled&) {
                    throw;
                } catch (...) {
                    pending = std::current_exception();
                }
            }
            releaseVirtualMonitor();
        } else {
            co_await refreshDisplays();
            const auto display = currentDisplay();
            if (!display) {
                co_await failStart(HostError::failed(std::string(display::description(display::VirtualDisplayError::creationFailed))));
                co_return;
            }
            if (co_await beginCaptureOrFail(*display))
                notice_.assign(isBusy_, false);
            co_return;
        }

        // The virtual monitor did not work out: mirror a physical display instead.
        co_await refreshDisplays();
        const auto display = currentDisplay();
        if (!display) {
            co_await failStart(describe(pending));
            co_return;
        }
        notice_.assign(sourceMode_, SourceMode::mirror);
        if (!co_await beginCaptureOrFail(*display))
            co_return;
        hooks_.showMirrorFallback();
        hooks_.showError(std::nullopt);
        notice_.assign(isBusy_, false);
    } catch (const runtime::TaskCancelled&) {
        // The model is shutting down; it cleans up the stream itself.
        isBusy_ = false;
        throw;
    }
}

runtime::Task<bool> Streaming::beginCaptureOrFail(display::DisplayInfo display)
{
    std::exception_ptr failure;
    try {
        co_await beginCapture(std::move(display));
        co_return true;
    } catch (const runtime::TaskCancelled&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    co_await failStart(describe(failure));
    co_return false;
}

runtime::Task<void> Streaming::failStart(HostError error)
{
    stopCapture();
    releaseVirtualMonitor();
    activeDisplayID_.reset();
    notice_.assign(isStreaming_, false);
    cancelViewerDiscovery();
    hooks_.showError(std::move(error));
    notice_.assign(isBusy_, false);
    co_return;
}

runtime::Task<display::DisplayInfo> Streaming::prepareVirtualDisplay()
{
    std::exception_ptr pending = std::make_exception_ptr(display::VirtualDisplayException(display::VirtualDisplayError::creationFailed));
    for (int attempt = 0; attempt < virtualMonitorAttempts; ++attempt) {
        std::unique_ptr<display::VirtualDisplayManager> manager;
        try {
            manager = std::make_unique<display::VirtualDisplayManager>(*shared_.displays, virtualResolution_);
        } catch (...) {
            pending = std::current_exception();
        }
        if (manager) {
            const std::uint32_t id = manager->displayID();
            releaseVirtualMonitor();
            virtualDisplay_ = std::move(manager);
            notice_.assign(virtualMonitorUnreachable_, !virtualDisplay_->pointerCanEnter());
            displayList_.rememberVirtualDisplay(id);
            std::optional<display::DisplayInfo> found;
            try {
                found = co_await displayList_.waitForDisplay(id);
            } catch (const runtime::TaskCancelled&) {
                throw;
            } catch (...) {
                pending = std::current_exception();
            }
            if (found) {
                setSelectedDisplayID(id);
                co_return *found;
            }
        }
        releaseVirtualMonitor();
        if (attempt < virtualMonitorAttempts - 1)
            co_await runtime::sleepFor(shared_.clock, virtualMonitorRetryDelay);
    }
    std::rethrow_exception(pending);
}

runtime::Task<void> Streaming::beginCapture(display::DisplayInfo display)
{
    auto capturer = environment_.captureSessions(quality_, frameRate_);
    const std::uint64_t run = ++captureRun_;
    capturer->start(display, [weak = weak_from_this(), executor = shared_.mainExecutor, run](const capture::CaptureEnd& end) {
        executor->post([weak, run, end] {
            if (auto self = weak.lock())
                self->captureEnded(run, end);
        });
    });
    capturer_ = std::move(capturer);
    captured_ = display;
    if (hooks_.launch)
        hooks_.launch([run](Streaming& self) { return self.watchDisplay(run); });
    activeDisplayID_ = display.id;
    setSelectedDisplayID(display.id);
    notice_.assign(isStreaming_, true);
    if (hooks_.didStart)
        hooks_.didStart();
    hooks_.showScreenPermissionNeeded(false);
    hooks_.showError(std::nullopt);
    co_return;
}

runtime::Task<void> Streaming::stop()
{
    if (isBusy_)
        co_return;
    notice_.assign(isBusy_, true);
    virtualMonitorLosses_ = 0;
    cancelViewerDiscovery();
    stopCapture();
    releaseVirtualMonitor();
    activeDisplayID_.reset();
    notice_.assign(isStreaming_, false);
    notice_.assign(isBusy_, false);
    co_await refreshDisplays();
}

runtime::Task<void> Streaming::sourceModeDidChange()
{
    if (isStreaming_ || isBusy_)
        co_return;
    if (sourceMode_ == SourceMode::mirror)
        releaseVirtualMonitor();
    co_await refreshDisplays();
}

runtime::Task<void> Streaming::switchMode(SourceMode mode)
{
    if (mode == sourceMode_ || isBusy_)
        co_return;
    setSourceMode(mode);
    if (isStreaming_) {
        co_await stop();
        co_await start();
    } else {
        co_await sourceModeDidChange();
    }
}

Streaming::ViewerChange Streaming::noteViewer()
{
    auto& link = *shared_.link;
    ViewerChange change;
    change.connected = link.isViewerConnected();
    // A connection that replaced the last one while this task waited is new too.
    const std::uint64_t generation = link.connectionGeneration();
    const bool replaced = std::exchange(viewerGeneration_, generation) != generation;
    if (change.connected) {
        const bool wasConnected = std::exchange(viewerWasConnected_, true);
        change.isNew = !wasConnected || replaced;
        change.newOrGone = change.isNew;
    } else {
        viewerWasConnected_ = false;
        change.newOrGone = true;
    }
    return change;
}

runtime::Task<void> Streaming::followViewer(ViewerChange change)
{
    if (change.connected) {
        cancelViewerDiscovery();
    } else {
        if (isStreaming_)
            startViewerDiscovery();
    }

    if (autoStartOnConnect_ && change.connected && !isBusy_) {
        if (change.isNew && isStreaming_)
            co_await stop();
        if (!isStreaming_)
            co_await start();
    }
}

}  // namespace kestrio::model
