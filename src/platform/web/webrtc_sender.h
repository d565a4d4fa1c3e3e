#pragma once

#include "capture/h264_encoder.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kestrio::platform::web {

// Sends the stream's H.264 access units to one browser over WebRTC (GStreamer's webrtcbin): RTP
// over DTLS-SRTP, host candidates only (no outside servers), and a data channel, "control", for
// what the page sends back. Made with the offer already under way; the signalling travels
// through the callbacks, which run on GStreamer's threads.
class WebRtcSender {
public:
    struct Callbacks {
        std::function<void(const std::string& sdp)> offer;                         // for the page
        std::function<void(unsigned mline, const std::string& candidate)> candidate;  // for the page
        std::function<void(const std::string& text)> controlMessage;               // from the page
        // The peer connection is up (its DTLS transport too), or no longer.
        std::function<void(bool connected)> connection;
        // The page's decoder needs a key frame (it lost part of a picture).
        std::function<void()> keyFrameRequest;
        // What the page reports of the packets it got (on GStreamer's threads): transport-wide
        // feedback (loss 0..1 over its window, and how much the one-way delay grew across it)
        // and RTCP receiver reports (loss 0..1, and the round trip when the report gives one).
        std::function<void(double lossFraction, std::chrono::nanoseconds delayGrowth)> transportFeedback;
        std::function<void(double lossFraction, std::optional<std::chrono::nanoseconds> roundTrip)> receiverReport;
    };

    // Throws std::runtime_error when GStreamer lacks what it needs (webrtcbin and its plugins).
    explicit WebRtcSender(Callbacks callbacks);
    ~WebRtcSender();
    WebRtcSender(const WebRtcSender&) = delete;
    WebRtcSender& operator=(const WebRtcSender&) = delete;

    // The page's answer and candidates.
    void setAnswer(const std::string& sdp);
    void addCandidate(unsigned mline, const std::string& candidate);
    // An encoded frame of the stream; any thread.
    void push(const capture::EncodedVideoFrame& frame);
private:
    struct Pipeline;
    std::unique_ptr<Pipeline> pipeline_;
};

}  // namespace kestrio::platform::web
