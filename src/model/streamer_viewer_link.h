#pragma once

#include "link/frame_streamer.h"
#include "model/viewer_link.h"

#include <memory>

namespace kestrio::model {

// The viewer link over the host's FrameStreamer.
class StreamerViewerLink final : public ViewerLink {
public:
    explicit StreamerViewerLink(std::shared_ptr<link::FrameStreamer> streamer) : streamer_(std::move(streamer)) {}

    const std::shared_ptr<link::FrameStreamer>& streamer() const { return streamer_; }

    bool isViewerConnected() const override { return streamer_->isViewerConnected(); }
    bool h264Capable() const override { return streamer_->h264Capable(); }
    bool listenerReady() const override { return streamer_->listenerReady(); }
    std::string peerDescription() const override;

    void start() override { streamer_->start(); }
    void stop() override { streamer_->stop(); }
    void retryNow() override { streamer_->retryNow(); }
    void refreshAdvertisement() override { streamer_->refreshAdvertisement(); }
    void sendControl(std::string_view text) override { streamer_->sendControl(text); }
    std::uint64_t connectionGeneration() const override { return streamer_->connectionGeneration(); }
    void dropConnection(std::uint64_t generation, std::string reason, runtime::Duration holdOff) override
    {
        streamer_->dropConnectionIfCurrent(generation, std::move(reason), holdOff);
    }

    void setOnStateChange(std::function<void()> callback) override { streamer_->onStateChange = std::move(callback); }
    void setOnControlEvent(std::function<void(const link::ViewerControlEvent&)> callback) override
    {
        streamer_->onControlEvent = std::move(callback);
    }
    void setOnViewerIdentity(std::function<void(const link::ViewerIdentity&)> callback) override
    {
        streamer_->onViewerIdentity = std::move(callback);
    }
    void setOnOutsiderRefused(std::function<void()> callback) override { streamer_->onOutsiderRefused = std::move(callback); }
    void setOnNetworkChange(std::function<void()> callback) override { streamer_->onNetworkChange = std::move(callback); }

private:
    std::shared_ptr<link::FrameStreamer> streamer_;
};

}  // namespace kestrio::model
