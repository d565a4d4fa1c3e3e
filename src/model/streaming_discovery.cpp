// Re-advertising while the stream waits for a viewer: the phone may have missed the first
// announcement, so it is repeated, further apart as time goes on, until a viewer connects or the
// stream ends.
#include "model/streaming.h"

#include <chrono>

namespace kestrio::model {

namespace {

using namespace std::chrono_literals;

constexpr int maximumAdvertisementRefreshes = 20;

runtime::Duration discoveryGap(int attempt)
{
    if (attempt <= 4)
        return 3500ms;
    if (attempt <= 10)
        return 6s;
    return 10s;
}

}  // namespace

void Streaming::startViewerDiscovery()
{
    if (shared_.link->isViewerConnected() || viewerDiscovery_)
        return;
    shared_.link->retryNow();
    shared_.link->refreshAdvertisement();
    viewerDiscovery_ = std::make_shared<runtime::CancellationSource>();
    runtime::spawn(shared_.mainExecutor, runViewerDiscovery(weak_from_this(), viewerDiscovery_), viewerDiscovery_->token());
}

void Streaming::cancelViewerDiscovery()
{
    if (!viewerDiscovery_)
        return;
    viewerDiscovery_->cancel();
    viewerDiscovery_.reset();
}

bool Streaming::discoveryShouldEnd() const
{
    return shutDown_ || shared_.link->isViewerConnected() || (!isBusy_ && !isStreaming_);
}

runtime::Task<void> Streaming::runViewerDiscovery(std::weak_ptr<Streaming> weak,
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
    // The stream is held only between sleeps, so that a waiting task never keeps it alive.
    std::shared_ptr<runtime::Clock> clock;
    {
        auto self = weak.lock();
        if (!self || token.isCancelled() || self->discoveryShouldEnd()) {
            finish();
            co_return;
        }
        clock = self->shared_.clock;
    }
    try {
        co_await runtime::sleepFor(clock, 3500ms);
        for (int attempt = 0;; ++attempt) {
            {
                auto self = weak.lock();
                if (!self || token.isCancelled() || self->discoveryShouldEnd())
                    break;
                self->shared_.link->refreshAdvertisement();
                if (attempt == maximumAdvertisementRefreshes - 1)
                    break;
                if (token.isCancelled() || self->discoveryShouldEnd())
                    break;
            }
            co_await runtime::sleepFor(clock, discoveryGap(attempt));
        }
    } catch (const runtime::TaskCancelled&) {
        // Cancelled by the stream, which has already let go of the slot.
        co_return;
    }
    finish();
}

}  // namespace kestrio::model
