#pragma once

#include "capture/encoded_frame_sink.h"
#include "model/viewer_link.h"
#include "platform/web/browser_page_server.h"
#include "platform/web/webrtc_sender.h"
#include "runtime/clock.h"
#include "web/path_congestion.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kestrio::platform::web {

// Browsers as viewers: the page server pairs them, each paired browser gets a peer connection
// (WebRtcSender), and the one whose connection came up last is the connected viewer, the one
// before it let go. Its data channel carries the app's control lines, read by the same parser.
// The frames it takes are the encoder's H.264 as it is. A page without WebRTC asks for JPEG
// instead: the pictures then go over its WebSocket, at most two that it has not acknowledged, and
// its control lines come the same way. What a WebRTC page reports of the packets it got tells
// whether the path to it is congested, which brings the bit rate down as a full socket does.
class BrowserViewers final : public model::ViewerLink, public capture::EncodedFrameSink, public std::enable_shared_from_this<BrowserViewers> {
public:
    // `server` is made by start() from these settings (its callbacks are the viewers' own).
    static std::shared_ptr<BrowserViewers> create(BrowserPageServer::Settings settings, std::shared_ptr<runtime::Clock> clock);
    ~BrowserViewers() override;

    // model::ViewerLink
    bool isViewerConnected() const override;
    bool h264Capable() const override;
    bool listenerReady() const override { return listening_.load(); }
    std::string peerDescription() const override;
    bool viewerIsBrowser() const override { return true; }
    void start() override;
    void stop() override;
    void retryNow() override {}
    void refreshAdvertisement() override {}
    void sendControl(std::string_view) override {}
    std::uint64_t connectionGeneration() const override;
    void dropConnection(std::uint64_t generation, std::string reason, runtime::Duration holdOff) override;
    void setOnStateChange(std::function<void()> callback) override { onStateChange_ = std::move(callback); }
    void setOnControlEvent(std::function<void(const link::ViewerControlEvent&)> callback) override { onControlEvent_ = std::move(callback); }
    void setOnViewerIdentity(std::function<void(const link::ViewerIdentity&)>) override {}
    void setOnOutsiderRefused(std::function<void()>) override {}
    void setOnNetworkChange(std::function<void()>) override {}

    // capture::EncodedFrameSink
    static constexpr int maxUnacknowledgedJpegs = 2;
    // A browser offers a handful of ICE candidates; more from one page are not taken.
    static constexpr int maxCandidatesPerBrowser = 32;
    bool canAcceptFrame() const override;
    int framesQueued() const override;
    bool pathCongested() const override;
    bool consumeKeyFrameRequest() override { return keyFrameRequested_.exchange(false); }
    void sendVideo(const capture::EncodedVideoFrame& frame) override;
    void sendJpeg(std::vector<std::uint8_t> jpeg) override;
    void setFrameRequestHandler(std::function<void()> handler) override;

private:
    struct Browser {
        std::string address;
        std::string name;
        std::shared_ptr<WebRtcSender> sender;
        bool jpeg = false;  // asked for JPEG over its WebSocket
        int unacknowledged = 0;
        kestrio::web::PathCongestion path;
        int candidates = 0;
    };

    BrowserViewers(BrowserPageServer::Settings settings, std::shared_ptr<runtime::Clock> clock);
    void paired(std::uint64_t number, const std::string& address, const std::string& userAgent);
    void message(std::uint64_t number, const std::string& text);
    void closed(std::uint64_t number);
    void connectionChanged(std::uint64_t number, bool up);
    void useJpeg(std::uint64_t number);
    void controlLine(std::uint64_t number, const std::string& line);
    // Judges the path to a browser from one of its reports.
    void pathReport(std::uint64_t number, const std::function<void(kestrio::web::PathCongestion&, runtime::TimePoint)>& report);
    void requestPicture();
    std::shared_ptr<BrowserPageServer> server() const;
    void send(std::uint64_t number, const std::string& text);
    // Tells a browser another viewer took its place, and ends its connection.
    void letGo(std::uint64_t number);
    void changed();

    BrowserPageServer::Settings settings_;
    const std::shared_ptr<runtime::Clock> clock_;
    std::shared_ptr<BrowserPageServer> server_;  // under the lock
    std::atomic<bool> listening_{false};
    mutable std::mutex mutex_;
    std::map<std::uint64_t, Browser> browsers_;
    std::uint64_t current_ = 0;  // the connected browser's number; 0: none
    std::atomic<bool> keyFrameRequested_{false};
    std::function<void()> frameRequest_;
    std::function<void()> onStateChange_;
    std::function<void(const link::ViewerControlEvent&)> onControlEvent_;
};

// "Chrome", "Firefox", "Safari", "Edge" or "Browser", from a User-Agent.
std::string browserName(const std::string& userAgent);

}  // namespace kestrio::platform::web
