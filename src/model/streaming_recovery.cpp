// Keeping a stream going when the desktop takes its picture away. While a capture runs, the
// display it shows is looked at every second; a display that went away, moved or changed size,
// and a capture that ended on its own, are handled here: the same display is captured again
// (retried while the desktop's media service comes back), a mirror moves to the display the user
// would now get, a virtual monitor is made again once and then given up for mirroring, and what
// cannot come back ends the stream with the reason.
#include "model/streaming.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

namespace kestrio::model {

namespace {

using namespace std::chrono_literals;

constexpr runtime::Duration displayWatchInterval = 1s;
// A capture source that went (a compositor's media service restarting) is asked for again once a
// second, for so long.
constexpr runtime::Duration recoveryWindow = 20s;
constexpr runtime::Duration retryDelay = 1s;

bool sameArea(const display::DisplayInfo& a, const display::DisplayInfo& b)
{
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

}  // namespace

void Streaming::captureEnded(std::uint64_t run, const capture::CaptureEnd& end)
{
    if (shutDown_ || run != captureRun_ || !hooks_.launch)
        return;
    hooks_.launch([run, end](Streaming& self) { return self.recoverCapture(run, end); });
}

runtime::Task<void> Streaming::watchDisplay(std::uint64_t run)
{
    for (;;) {
        co_await runtime::sleepFor(shared_.clock, displayWatchInterval);
        if (shutDown_ || run != captureRun_ || !captured_)
            co_return;
        std::vector<display::DisplayInfo> listed;
        try {
            listed = shared_.displays->displays();
        } catch (const std::exception&) {
            continue;  // the capture itself tells when the desktop is gone
        }
        const auto found = std::find_if(listed.begin(), listed.end(), [&](const auto& display) { return display.id == captured_->id; });
        if (found == listed.end() || !sameArea(*found, *captured_)) {
            co_await recoverCapture(run, std::nullopt);
            co_return;
        }
    }
}

runtime::Task<void> Streaming::recoverCapture(std::uint64_t run, std::optional<capture::CaptureEnd> end)
{
    // Only the capture that ended is recovered, and only while nothing else starts or stops the stream.
    if (shutDown_ || run != captureRun_ || isBusy_ || !isStreaming_ || !captured_)
        co_return;
    const display::DisplayInfo lost = *captured_;
    const bool extended = virtualDisplay_ != nullptr;
    stopCapture();
    std::uint64_t stopped = captureRun_;

    if (end && end->cause == capture::CaptureEnd::Cause::desktopGone) {
        std::string text = "데스크톱 세션이 끝남 · The desktop session ended: " + end->reason;
        co_await failStart(HostError::failed(text));
        if (hooks_.desktopGone)
            hooks_.desktopGone(std::move(text));
        co_return;
    }

    const runtime::TimePoint giveUpAt = shared_.clock->now() + recoveryWindow;
    std::string reason = end ? end->reason : "the display changed";
    // The virtual monitor went (with its source, perhaps): it is made again as soon as the desktop can.
    bool remaking = false;
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0) {
            if (shared_.clock->now() + retryDelay > giveUpAt)
                break;
            co_await runtime::sleepFor(shared_.clock, retryDelay);
            // Stopped or started again meanwhile: that is the stream now.
            if (shutDown_ || captureRun_ != stopped || isBusy_ || !isStreaming_)
                co_return;
        }
        if (remaking) {
            notice_.assign(isBusy_, true);
            try {
                auto prepared = co_await prepareVirtualDisplay();
                co_await beginCapture(std::move(prepared));
                notice_.assign(isBusy_, false);
                co_return;
            } catch (const runtime::TaskCancelled&) {
                throw;
            } catch (const std::exception& error) {
                reason = error.what();
            }
            releaseVirtualMonitor();
            notice_.assign(isBusy_, false);
            stopped = captureRun_;
            continue;
        }
        std::optional<display::DisplayInfo> listed;
        try {
            for (auto& display : shared_.displays->displays())
                if (display.id == lost.id)
                    listed = std::move(display);
        } catch (const std::exception& error) {
            reason = error.what();
            continue;
        }
        if (!listed) {
            // A mirror moves on; a virtual monitor removed a second time is given up for mirroring.
            if (!extended || virtualMonitorLosses_++ > 0) {
                co_await fallBackFrom(extended);
                co_return;
            }
            releaseVirtualMonitor();
            remaking = true;
            attempt = -1;  // at once
            continue;
        }
        try {
            co_await beginCapture(std::move(*listed));
            co_return;
        } catch (const runtime::TaskCancelled&) {
            throw;
        } catch (const std::exception& error) {
            reason = error.what();
        }
        stopped = captureRun_;  // the failed start counted as a run
    }
    if (remaking)
        co_await fallBackFrom(true);
    else
        co_await failStart(HostError::failed("화면 캡처가 끝남 · Screen capture ended: " + reason));
}

runtime::Task<void> Streaming::fallBackFrom(bool virtualMonitor)
{
    if (virtualMonitor) {
        releaseVirtualMonitor();
        notice_.assign(sourceMode_, SourceMode::mirror);
    }
    co_await refreshDisplays();
    const auto display = currentDisplay();
    if (!display) {
        co_await failStart(HostError::failed("스트리밍할 디스플레이가 없음 · No display is left to stream"));
        co_return;
    }
    if (!co_await beginCaptureOrFail(*display))
        co_return;
    if (virtualMonitor)
        hooks_.showMirrorFallback();
    hooks_.showError(HostError{HostError::Kind::displayChanged, display->name});
}

}  // namespace kestrio::model
