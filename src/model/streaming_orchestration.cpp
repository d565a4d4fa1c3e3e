// Starting and stopping a stream, the virtual monitor and its fallback to mirroring, and the
// reactions to the viewer coming and going.
#include "model/host_model.h"

#include "display/virtual_display_error.h"

#include <chrono>
#include <exception>
#include <utility>

namespace kestrio::model {

namespace {

using namespace std::chrono_literals;

constexpr int virtualMonitorAttempts = 3;
constexpr runtime::Duration virtualMonitorRetryDelay = 450ms;
constexpr int maximumAdvertisementRefreshes = 20;

std::string describe(const std::exception_ptr& error, const PlatformWording& wording)
{
    try {
        std::rethrow_exception(error);
    } catch (const display::VirtualDisplayException& caught) {
        if (caught.error() == display::VirtualDisplayError::notVisible)
            return wording.virtualMonitorNotShown;
        return caught.what();
    } catch (const std::exception& caught) {
        return caught.what();
    } catch (...) {
        return std::string(display::description(display::VirtualDisplayError::creationFailed));
    }
}

runtime::Duration discoveryGap(int attempt)
{
    if (attempt <= 4)
        return 3500ms;
    if (attempt <= 10)
        return 6s;
    return 10s;
}

}  // namespace

void HostModel::releaseVirtualMonitor()
{
    if (!virtualDisplay_)
        return;
    virtualDisplay_->release();
    virtualDisplay_.reset();
}

runtime::Task<void> HostModel::stopCapture()
{
    if (capturer_) {
        capturer_->stop();
        capturer_.reset();
    }
    co_return;
}

runtime::Task<void> HostModel::startStreaming()
{
    if (isBusy_)
        co_return;
    ensureTouchPermission();
    assign(isBusy_, true);
    setErrorMessage(std::nullopt);

    try {
        co_await stopCapture();
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
                    assign(isBusy_, false);
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
                co_await failStart(std::string(display::description(display::VirtualDisplayError::creationFailed)));
                co_return;
            }
            if (co_await beginCaptureOrFail(*display))
                assign(isBusy_, false);
            co_return;
        }

        // The virtual monitor did not work out: mirror a physical display instead.
        co_await refreshDisplays();
        const auto display = currentDisplay();
        if (!display) {
            co_await failStart(describe(pending, environment_.wording));
            co_return;
        }
        assign(sourceMode_, SourceMode::mirror);
        if (!co_await beginCaptureOrFail(*display))
            co_return;
        assign(phoneLaunchMessage_, std::optional<std::string>(mirrorFallbackText));
        setErrorMessage(std::nullopt);
        assign(isBusy_, false);
    } catch (const runtime::TaskCancelled&) {
        // The model is shutting down; it cleans up the stream itself.
        isBusy_ = false;
        throw;
    }
}

runtime::Task<bool> HostModel::beginCaptureOrFail(display::DisplayInfo display)
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
    co_await failStart(describe(failure, environment_.wording));
    co_return false;
}

runtime::Task<void> HostModel::failStart(std::string description)
{
    co_await stopCapture();
    releaseVirtualMonitor();
    activeDisplayID_.reset();
    assign(isStreaming_, false);
    cancelViewerDiscovery();
    setErrorMessage(std::move(description));
    assign(isBusy_, false);
}

runtime::Task<display::DisplayInfo> HostModel::prepareVirtualDisplay()
{
    std::exception_ptr pending = std::make_exception_ptr(display::VirtualDisplayException(display::VirtualDisplayError::creationFailed));
    for (int attempt = 0; attempt < virtualMonitorAttempts; ++attempt) {
        std::unique_ptr<display::VirtualDisplayManager> manager;
        try {
            manager = std::make_unique<display::VirtualDisplayManager>(*environment_.displays, virtualResolution_);
        } catch (...) {
            pending = std::current_exception();
        }
        if (manager) {
            const std::uint32_t id = manager->displayID();
            releaseVirtualMonitor();
            virtualDisplay_ = std::move(manager);
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
            co_await runtime::sleepFor(environment_.clock, virtualMonitorRetryDelay);
    }
    std::rethrow_exception(pending);
}

runtime::Task<void> HostModel::beginCapture(display::DisplayInfo display)
{
    auto capturer = environment_.captureSessions(quality_, frameRate_);
    capturer->start(display);
    capturer_ = std::move(capturer);
    activeDisplayID_ = display.id;
    setSelectedDisplayID(display.id);
    assign(isStreaming_, true);
    assign(screenPermissionNeeded_, false);
    setErrorMessage(std::nullopt);
    co_return;
}

runtime::Task<void> HostModel::stopStreaming()
{
    if (isBusy_)
        co_return;
    assign(isBusy_, true);
    cancelViewerDiscovery();
    co_await stopCapture();
    releaseVirtualMonitor();
    activeDisplayID_.reset();
    assign(isStreaming_, false);
    assign(isBusy_, false);
    co_await refreshDisplays();
}

runtime::Task<void> HostModel::sourceModeDidChange()
{
    if (isStreaming_ || isBusy_)
        co_return;
    if (sourceMode_ == SourceMode::mirror)
        releaseVirtualMonitor();
    co_await refreshDisplays();
}

runtime::Task<void> HostModel::handleViewerModeRequest(SourceMode mode)
{
    if (mode == sourceMode_ || isBusy_)
        co_return;
    setSourceMode(mode);
    if (isStreaming_) {
        co_await stopStreaming();
        co_await startStreaming();
    } else {
        co_await sourceModeDidChange();
    }
}

void HostModel::handleControlEvent(const link::ViewerControlEvent& event)
{
    if (std::holds_alternative<link::control::StopStreaming>(event)) {
        launch([](HostModel& model) { return model.stopStreaming(); });
    } else if (const auto* request = std::get_if<link::control::SourceMode>(&event)) {
        launch([mode = request->mode](HostModel& model) { return model.handleViewerModeRequest(mode); });
    } else {
        applyControlEvent(event);
    }
}

runtime::Task<void> HostModel::handleStreamerStateChange()
{
    auto& link = *environment_.link;
    const bool connected = link.isViewerConnected();
    // A connection that replaced the last one while this task waited is new too.
    const std::uint64_t generation = link.connectionGeneration();
    const bool replaced = std::exchange(viewerGeneration_, generation) != generation;
    bool isNewConnection = false;
    bool handleAsNewOrDisconnected = true;
    if (connected) {
        const bool wasConnected = viewerWasConnected_;
        viewerWasConnected_ = true;
        isNewConnection = !wasConnected || replaced;
        handleAsNewOrDisconnected = isNewConnection;
    } else {
        viewerWasConnected_ = false;
    }
    if (handleAsNewOrDisconnected) {
        lastReportedTouchPermission_.reset();
        forgetViewerInput();
    }
    // The status texts read the link's state, which has changed.
    willChange();
    if (link.listenerReady() && listenerFailed())
        setErrorMessage(std::nullopt);

    if (connected) {
        cancelViewerDiscovery();
    } else {
        if (isStreaming_)
            startViewerDiscovery();
    }

    if (autoStartOnConnect_ && connected && !isBusy_) {
        if (isNewConnection && isStreaming_)
            co_await stopStreaming();
        if (!isStreaming_)
            co_await startStreaming();
    }
}

// Viewer discovery ----------------------------------------------------------------------------

void HostModel::startViewerDiscovery()
{
    if (environment_.link->isViewerConnected() || viewerDiscovery_)
        return;
    environment_.link->retryNow();
    environment_.link->refreshAdvertisement();
    viewerDiscovery_ = std::make_shared<runtime::CancellationSource>();
    runtime::spawn(environment_.mainExecutor, runViewerDiscovery(weak_from_this(), viewerDiscovery_), viewerDiscovery_->token());
}

void HostModel::cancelViewerDiscovery()
{
    if (!viewerDiscovery_)
        return;
    viewerDiscovery_->cancel();
    viewerDiscovery_.reset();
}

bool HostModel::discoveryShouldEnd() const
{
    return shutDown_ || environment_.link->isViewerConnected() || (!isBusy_ && !isStreaming_);
}

runtime::Task<void> HostModel::runViewerDiscovery(std::weak_ptr<HostModel> weak,
                                                       std::shared_ptr<runtime::CancellationSource> source)
{
    const runtime::CancellationToken token = source->token();
    // Ends the task's hold on the discovery slot, unless a newer task has taken it meanwhile.
    const auto finish = [&weak, &source] {
        if (auto self = weak.lock()) {
            if (self->viewerDiscovery_ == source)
                self->viewerDiscovery_.reset();
        }
    };
    // The model is held only between sleeps, so that a waiting task never keeps it alive.
    std::shared_ptr<runtime::Clock> clock;
    {
        auto self = weak.lock();
        if (!self || token.isCancelled() || self->discoveryShouldEnd()) {
            finish();
            co_return;
        }
        clock = self->environment_.clock;
    }
    try {
        co_await runtime::sleepFor(clock, 3500ms);
        for (int attempt = 0;; ++attempt) {
            {
                auto self = weak.lock();
                if (!self || token.isCancelled() || self->discoveryShouldEnd())
                    break;
                self->environment_.link->refreshAdvertisement();
                if (attempt == maximumAdvertisementRefreshes - 1)
                    break;
                if (token.isCancelled() || self->discoveryShouldEnd())
                    break;
            }
            co_await runtime::sleepFor(clock, discoveryGap(attempt));
        }
    } catch (const runtime::TaskCancelled&) {
        // Cancelled by the model, which has already let go of the slot.
        co_return;
    }
    finish();
}

}  // namespace kestrio::model
