#pragma once

#include "capture/encoded_frame_sink.h"
#include "model/viewer_link.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrio::model {

// One kind of viewer: its link (connection, control events) and the sink its frames go to.
struct ViewerChannel {
    std::shared_ptr<ViewerLink> link;
    std::shared_ptr<capture::EncodedFrameSink> sink;
    // Said to the viewer this kind replaces, as why its connection ended.
    std::string replacedText;
};

// The one viewer the model serves, out of several kinds (the phone app through the streamer, a
// browser through its page): the model sees one link and the capturer one sink, those of the kind
// whose viewer connected last. A viewer of one kind that connects replaces the viewer of another,
// whose connection is ended. Connections get numbers of the switch's own, never reused across
// kinds; a control event names the connection of its own kind.
class ViewerSwitch final : public ViewerLink, public capture::EncodedFrameSink, public std::enable_shared_from_this<ViewerSwitch> {
public:
    static std::shared_ptr<ViewerSwitch> create(std::vector<ViewerChannel> channels);

    // ViewerLink
    bool isViewerConnected() const override { return current().link->isViewerConnected(); }
    bool h264Capable() const override { return current().link->h264Capable(); }
    // The streamer's listener: the first kind's.
    bool listenerReady() const override { return channels_.front().link->listenerReady(); }
    std::string peerDescription() const override { return current().link->peerDescription(); }
    bool viewerIsBrowser() const override { return current().link->viewerIsBrowser(); }
    void start() override;
    void stop() override;
    void retryNow() override;
    void refreshAdvertisement() override;
    void sendControl(std::string_view text) override { current().link->sendControl(text); }
    std::uint64_t connectionGeneration() const override;
    void dropConnection(std::uint64_t generation, std::string reason, runtime::Duration holdOff) override;
    void setOnStateChange(std::function<void()> callback) override { onStateChange_ = std::move(callback); }
    void setOnControlEvent(std::function<void(const link::ViewerControlEvent&)> callback) override { onControlEvent_ = std::move(callback); }
    void setOnViewerIdentity(std::function<void(const link::ViewerIdentity&)> callback) override;
    void setOnOutsiderRefused(std::function<void()> callback) override;
    void setOnNetworkChange(std::function<void()> callback) override;

    // capture::EncodedFrameSink
    bool canAcceptFrame() const override { return current().sink->canAcceptFrame(); }
    int framesQueued() const override { return current().sink->framesQueued(); }
    bool pathCongested() const override { return current().sink->pathCongested(); }
    bool consumeKeyFrameRequest() override { return current().sink->consumeKeyFrameRequest(); }
    void sendVideo(const capture::EncodedVideoFrame& frame) override { current().sink->sendVideo(frame); }
    void sendJpeg(std::vector<std::uint8_t> jpeg) override { current().sink->sendJpeg(std::move(jpeg)); }
    void setFrameRequestHandler(std::function<void()> handler) override;

private:
    explicit ViewerSwitch(std::vector<ViewerChannel> channels);
    void follow();
    // A kind's connection changed: it becomes the current one when a viewer of it connected.
    void channelChanged(std::size_t index);
    // The switch's number for kind `index`'s connection `generation` (0 for none); under the lock.
    std::uint64_t numberFor(std::size_t index, std::uint64_t generation) const;
    // The kind whose viewer connected last (the channels never change: the reference stays good).
    const ViewerChannel& current() const
    {
        std::lock_guard lock(mutex_);
        return channels_[current_];
    }

    const std::vector<ViewerChannel> channels_;
    mutable std::mutex mutex_;
    std::size_t current_ = 0;
    // Each kind's connection as last seen, and the switch's number for it.
    mutable std::map<std::pair<std::size_t, std::uint64_t>, std::uint64_t> numbers_;
    mutable std::uint64_t lastNumber_ = 0;
    std::function<void()> onStateChange_;
    std::function<void(const link::ViewerControlEvent&)> onControlEvent_;
};

}  // namespace kestrio::model
