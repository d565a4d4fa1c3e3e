// The one viewer out of two kinds: the last to connect is served, the other let go, connection
// numbers never reused across kinds, frames and picture requests only for the one served.
#include "model/viewer_switch.h"
#include "support/host_fakes.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

struct RecordingSink final : capture::EncodedFrameSink {
    bool canAcceptFrame() const override { return true; }
    int framesQueued() const override { return 0; }
    bool isViewerConnected() const override { return true; }
    bool h264Capable() const override { return true; }
    bool consumeKeyFrameRequest() override { return false; }
    void sendVideo(const capture::EncodedVideoFrame&) override { ++frames; }
    void sendJpeg(std::vector<std::uint8_t>) override { ++frames; }
    void setFrameRequestHandler(std::function<void()> handler) override { request = std::move(handler); }
    int frames = 0;
    std::function<void()> request;
};

TEST(ViewerSwitch, TheLastToConnectIsServedAndTheOtherLetGo)
{
    auto clock = std::make_shared<runtime::VirtualClock>();
    auto app = std::make_shared<FakeViewerLink>(clock), browser = std::make_shared<FakeViewerLink>(clock);
    auto appSink = std::make_shared<RecordingSink>(), browserSink = std::make_shared<RecordingSink>();
    auto viewers = model::ViewerSwitch::create({{app, appSink, "replaced by the app"}, {browser, browserSink, "replaced by a browser"}});
    int changes = 0, pictures = 0;
    std::vector<std::uint64_t> eventConnections;
    viewers->setOnStateChange([&] { ++changes; });
    viewers->setOnControlEvent([&](const link::ViewerControlEvent&) { eventConnections.push_back(viewers->connectionGeneration()); });
    viewers->setFrameRequestHandler([&] { ++pictures; });
    const capture::EncodedVideoFrame frame;

    app->connect(true, "iPhone");
    const auto first = viewers->connectionGeneration();
    EXPECT_TRUE(viewers->isViewerConnected());
    EXPECT_EQ(viewers->peerDescription(), "iPhone");
    browser->connect(true, "Chromium");
    const auto second = viewers->connectionGeneration();
    EXPECT_EQ(app->drops, (std::vector<std::pair<std::uint64_t, std::string>>{{1, "replaced by a browser"}}));
    EXPECT_EQ(viewers->peerDescription(), "Chromium");
    EXPECT_NE(second, first);
    viewers->sendVideo(frame);
    EXPECT_EQ(std::pair(appSink->frames, browserSink->frames), std::pair(0, 1)) << "frames go to the browser";
    appSink->request();
    browserSink->request();
    EXPECT_EQ(pictures, 1) << "only the browser asks for pictures";
    app->onControlEvent(link::control::StopStreaming{});
    browser->onControlEvent(link::control::StopStreaming{});
    EXPECT_EQ(eventConnections, (std::vector<std::uint64_t>{first, second})) << "each event names its own connection";

    app->disconnect();  // the drop taking effect: the browser stays
    EXPECT_TRUE(viewers->isViewerConnected());
    app->connect(true, "iPhone");
    const auto third = viewers->connectionGeneration();
    EXPECT_EQ(browser->drops, (std::vector<std::pair<std::uint64_t, std::string>>{{1, "replaced by the app"}}));
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
    viewers->dropConnection(third, "flood", {});
    EXPECT_EQ(app->drops.back(), (std::pair<std::uint64_t, std::string>{2, "flood"}));
    EXPECT_EQ(changes, 4);

    app->startThrows = true;
    EXPECT_THROW(viewers->start(), std::runtime_error);
    EXPECT_TRUE(browser->ready) << "the browser's page is served even when the app's port is taken";
}

}  // namespace
}  // namespace kestrio::test
