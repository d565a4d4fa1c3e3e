// The capturer feeding the real viewer link over loopback TCP.

#include "capture/capture_fakes_support.h"
#include "capture/loopback_viewer_support.h"
#include "capture/screen_capturer.h"
#include "model/frame_sink.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using capture::ScreenCapturer;
using link::HostMessage;

TEST(ScreenCapturerWithStreamer, JpegViewerReceivesJpegFramesAndHandshakesAskForAPicture)
{
    auto streamer = startLoopbackStreamer();
    ASSERT_TRUE(streamer->listenerReady());
    auto displays = std::make_shared<FakeDisplayCaptureFactory>();
    auto encoders = std::make_shared<FakeH264EncoderFactory>();
    auto capturer = ScreenCapturer::create(std::make_shared<model::StreamerFrameSink>(streamer), capture::StreamQuality::balanced,
                                           capture::StreamFrameRate::sixty, displays, encoders);
    capturer->start({1, 0, 0, 640, 360});
    ASSERT_TRUE(capturer->hasEncoder());

    // No viewer yet: the picture is not even encoded.
    displays->deliver(makeTestFrame(capture::PixelFormat::nv12, 640, 360).frame);

    LoopbackViewer viewer(streamer->listeningPort());
    ASSERT_TRUE(viewer.connected());
    viewer.sendLine("HELLO 2");
    ASSERT_TRUE(waitFor([&] { return streamer->isViewerConnected(); }));
    // The handshake asks the capture for a picture so that a still screen shows at once.
    EXPECT_TRUE(waitFor([&] { return displays->frameRequests() == 1; }));

    std::optional<HostMessage> frame;
    ASSERT_TRUE(waitFor([&] {
        // Delivered until the welcome has left and the link takes a JPEG frame.
        displays->deliver(makeTestFrame(capture::PixelFormat::nv12, 640, 360).frame);
        while (auto message = viewer.readMessage(std::chrono::milliseconds(20))) {
            if (message->kind != HostMessage::Kind::control) {
                frame = std::move(message);
                return true;
            }
        }
        return false;
    }));
    EXPECT_EQ(frame->kind, HostMessage::Kind::jpegFrame);
    ASSERT_GE(frame->payload.size(), 4u);
    EXPECT_EQ(frame->payload[0], 0xFF);
    EXPECT_EQ(frame->payload[1], 0xD8);
    EXPECT_EQ(frame->payload[frame->payload.size() - 2], 0xFF);
    EXPECT_EQ(frame->payload.back(), 0xD9);
    EXPECT_TRUE(encoders->submissions().empty());

    capturer->stop();
    streamer->stop();
}

}  // namespace
}  // namespace kestrio::test
