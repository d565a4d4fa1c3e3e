// The WebRTC sender against a receiving peer connection of GStreamer's own, in this process over
// loopback: the offer, the answer and the candidates go between them as the page would carry
// them, the connection comes up (DTLS, then SRTP), the encoder's access units arrive at the
// picture's size, and what the peer sends on the data channel comes out as control text.
#define GST_USE_UNSTABLE_API
#include "platform/ffmpeg/x264_h264_encoder.h"
#include "platform/web/webrtc_sender.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrio::platform::web {
namespace {

using namespace std::chrono_literals;

// The receiving side: webrtcbin, then depayloaded and parsed into an appsink.
struct Receiver {
    GstElement* pipeline = gst_pipeline_new("receiver");
    GstElement* rtc = GST_ELEMENT(gst_object_ref(gst_element_factory_make("webrtcbin", "rtc")));
    GstElement* sink = nullptr;
    WebRtcSender* sender = nullptr;
    GstWebRTCDataChannel* channel = nullptr;
    std::mutex mutex;
    std::condition_variable changed;

    Receiver()
    {
        gst_util_set_object_arg(G_OBJECT(rtc), "bundle-policy", "max-bundle");
        gst_bin_add(GST_BIN(pipeline), rtc);
        g_signal_connect(rtc, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, Receiver* self) {
                             if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
                                 return;
                             GstElement* tail = gst_parse_bin_from_description("rtph264depay ! h264parse ! appsink name=sink sync=false", TRUE, nullptr);
                             gst_bin_add(GST_BIN(self->pipeline), tail);
                             gst_element_sync_state_with_parent(tail);
                             GstPad* input = gst_element_get_static_pad(tail, "sink");
                             gst_pad_link(pad, input);
                             gst_object_unref(input);
                             std::lock_guard lock(self->mutex);
                             self->sink = gst_bin_get_by_name(GST_BIN(tail), "sink");
                             self->changed.notify_all();
                         }),
                         this);
        g_signal_connect(rtc, "on-ice-candidate", G_CALLBACK(+[](GstElement*, guint mline, gchar* candidate, Receiver* self) {
                             self->sender->addCandidate(mline, candidate);
                         }),
                         this);
        g_signal_connect(rtc, "on-data-channel", G_CALLBACK(+[](GstElement*, GstWebRTCDataChannel* channel, Receiver* self) {
                             std::lock_guard lock(self->mutex);
                             self->channel = GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel));
                             self->changed.notify_all();
                         }),
                         this);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
    }
    ~Receiver()
    {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        if (channel)
            g_object_unref(channel);
        if (sink)
            gst_object_unref(sink);
        gst_object_unref(rtc);
        gst_object_unref(pipeline);
    }

    // The page's part: takes the offer, answers it.
    void offered(const std::string& text)
    {
        GstSDPMessage* sdp = nullptr;
        gst_sdp_message_new_from_text(text.c_str(), &sdp);
        auto* offer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
        GstPromise* set = gst_promise_new();
        g_signal_emit_by_name(rtc, "set-remote-description", offer, set);
        gst_promise_wait(set);
        gst_promise_unref(set);
        gst_webrtc_session_description_free(offer);
        GstPromise* created = gst_promise_new();
        g_signal_emit_by_name(rtc, "create-answer", nullptr, created);
        gst_promise_wait(created);
        GstWebRTCSessionDescription* answer = nullptr;
        gst_structure_get(gst_promise_get_reply(created), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
        gst_promise_unref(created);
        GstPromise* local = gst_promise_new();
        g_signal_emit_by_name(rtc, "set-local-description", answer, local);
        gst_promise_wait(local);
        gst_promise_unref(local);
        gchar* answerText = gst_sdp_message_as_text(answer->sdp);
        sender->setAnswer(answerText);
        g_free(answerText);
        gst_webrtc_session_description_free(answer);
    }
};

TEST(WebRtcSender, TheEncodersAccessUnitsReachAPeerOverDtlsSrtpAndItsControlTextComesBack)
{
    std::mutex mutex;
    std::condition_variable changed;
    bool connected = false;
    std::vector<std::string> controls;
    std::string offerText;
    gst_init(nullptr, nullptr);
    Receiver receiver;
    WebRtcSender::Callbacks callbacks;
    callbacks.offer = [&](const std::string& sdp) {
        std::lock_guard lock(mutex);
        offerText = sdp;
        changed.notify_all();
    };
    callbacks.candidate = [&](unsigned mline, const std::string& candidate) {
        g_signal_emit_by_name(receiver.rtc, "add-ice-candidate", mline, candidate.c_str());
    };
    callbacks.connection = [&](bool up) {
        std::lock_guard lock(mutex);
        connected = up;
        changed.notify_all();
    };
    callbacks.controlMessage = [&](const std::string& text) {
        std::lock_guard lock(mutex);
        controls.push_back(text);
        changed.notify_all();
    };
    WebRtcSender sender(callbacks);
    receiver.sender = &sender;
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return !offerText.empty(); }));
    }
    EXPECT_NE(offerText.find("a=rtpmap:96 H264/90000"), std::string::npos) << offerText;
    EXPECT_NE(offerText.find("webrtc-datachannel"), std::string::npos) << offerText;
    EXPECT_EQ(offerText.find("typ srflx"), std::string::npos) << "host candidates only";
    receiver.offered(offerText);

    // A picture of 1280x720 with a box that moves, 30 frames a second.
    constexpr int width = 1280, height = 720;
    std::vector<std::uint8_t> luma(width * height, 60), chroma(width * height / 2, 128);
    std::atomic<int> encoded{0};
    auto encoder = std::make_unique<platform::ffmpeg::X264H264Encoder>(
        capture::H264EncoderSettings{width, height, 4'000'000, 30, capture::PixelFormat::nv12},
        [&](std::optional<capture::EncodedVideoFrame> frame) {
            if (frame)
                sender.push(*frame), ++encoded;
        },
        30, 2);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::size_t samples = 0;
    for (int index = 0; samples < 20 && std::chrono::steady_clock::now() < deadline; ++index) {
        std::fill(luma.begin(), luma.end(), 60);
        for (int y = 300; y < 400; ++y)
            std::fill_n(luma.begin() + y * width + (index * 8) % (width - 100), 100, 220);
        capture::VideoFrame frame{capture::PixelFormat::nv12, width, height, {luma.data(), chroma.data()}, {width, width},
                                  std::chrono::steady_clock::now(), nullptr};
        encoder->encode(frame, index % 30 == 0);
        std::this_thread::sleep_for(33ms);
        std::lock_guard lock(receiver.mutex);
        if (receiver.sink)
            while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(receiver.sink), 0)) {
                if (samples++ == 0) {
                    const GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
                    int w = 0, h = 0;
                    gst_structure_get_int(caps, "width", &w);
                    gst_structure_get_int(caps, "height", &h);
                    EXPECT_EQ(w, width);
                    EXPECT_EQ(h, height);
                }
                gst_sample_unref(sample);
            }
    }
    EXPECT_GE(samples, 20u) << encoded.load() << " access units sent";
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 5s, [&] { return connected; })) << "DTLS and the peer connection up";
    }
    {
        std::unique_lock lock(receiver.mutex);
        ASSERT_TRUE(receiver.changed.wait_for(lock, 5s, [&] { return receiver.channel != nullptr; }));
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        g_signal_emit_by_name(receiver.channel, "send-string", "T Hi 한글");
        std::unique_lock lock(mutex);
        if (changed.wait_for(lock, 100ms, [&] { return !controls.empty(); }))
            break;
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(controls, std::vector<std::string>{"T Hi 한글"});
}

}  // namespace
}  // namespace kestrio::platform::web
