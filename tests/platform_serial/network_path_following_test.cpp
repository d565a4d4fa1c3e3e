// A viewer's path followed while the host's network changes under it: the router lab's host and
// router namespaces, joined by a veth pair, stand for the computer and the phone, and the host's
// address on that link is taken away and given back while the viewer stays connected.

#include "link/streamer_harness_support.h"
#include "platform/os/network_change_watch.h"
#include "platform/os/network_path_resolver.h"
#include "router/router_lab_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kestrio::test {
namespace {

using namespace platform::testing;

TEST(NetworkPathFollowing, TheDescriptionFollowsTheHostsAddressOnTheViewersLink)
{
    if (auto reason = routerLabUnavailable())
        GTEST_SKIP() << *reason;
    const RouterLab lab(false);
    ASSERT_EQ(lab.error(), "");
    // The streamer's thread reads the interfaces, and their news, on the host's side.
    const std::string hostSide = lab.path("host");
    StreamerHarness harness([&](link::FrameStreamer::Environment& environment) {
        environment.isHomeNetworkPeer = [](const asio::ip::address&) { return true; };
        environment.pathResolver = [hostSide](const std::string& address) {
            NetworkNamespaceScope scope(hostSide);
            return platform::os::resolveNetworkPath(address);
        };
        environment.networkChanges = [hostSide](asio::io_context& context, std::function<void()> changed) {
            NetworkNamespaceScope scope(hostSide);
            return platform::os::watchNetworkChanges(context, std::move(changed));
        };
    });
    {
        NetworkNamespaceScope scope(hostSide);  // the listener, and every connection it accepts
        ASSERT_TRUE(scope.entered());
        harness.streamer->start();
    }
    ASSERT_TRUE(waitUntil([&] { return harness.streamer->listenerReady(); }));
    std::unique_ptr<ViewerClient> viewer;
    {
        NetworkNamespaceScope phoneSide(lab.path("rtr"));
        viewer = connectHandshaken(harness, "HELLO 2 H264", {.host = RouterLab::hostAddress});
    }
    ASSERT_TRUE(viewer->connected());

    const std::string hostNamespace = std::filesystem::path(hostSide).filename();
    const std::pair<std::string, std::string> steps[] = {
        {"addr del 192.168.77.2/24 dev lan", "192.168.77.1 \u00B7 로컬 네트워크"},
        {"addr add 192.168.77.2/24 dev lan", "192.168.77.1 \u00B7 USB/유선"},
    };
    EXPECT_EQ(harness.streamer->peerName(), steps[1].second) << "on arrival";
    int networkChanges = 0;
    harness.streamer->onNetworkChange = [&networkChanges] { ++networkChanges; };
    for (const auto& [command, description] : steps) {
        SCOPED_TRACE(command);
        const int changesBefore = harness.stateChanges;
        ASSERT_EQ(shell("ip -n " + hostNamespace + " " + command), 0);
        // The kernel's news reaches the streamer, which looks again once it has settled.
        ASSERT_TRUE(waitUntil([&] { return harness.clock->pendingTimers() > 0; }));
        harness.advance(link::FrameStreamer::pathSettleDelay);
        EXPECT_EQ(harness.streamer->peerName(), description);
        EXPECT_EQ(harness.stateChanges, changesBefore + 1);
    }
    EXPECT_EQ(networkChanges, 2) << "the host hears of each settled change";
}

}  // namespace
}  // namespace kestrio::test
