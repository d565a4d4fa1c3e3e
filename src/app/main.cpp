#include "app/command_line.h"
#include "capture/frame_sink.h"
#include "capture/screen_capturer.h"
#include "kestrio_version.h"
#include "link/frame_streamer.h"
#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/ffmpeg/ffmpeg_h264_encoder.h"
#include "platform/linux/host_name.h"
#include "platform/linux/network_path_resolver.h"
#include "platform/x11/x11_display_capture.h"
#include "platform/x11/x11_screen.h"
#include "platform/x11/xvfb_server.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace kestrio;

// The X display to share: $DISPLAY, or a virtual screen of our own when there is none, so that
// the host also runs on a machine without a desktop.
std::string chooseDisplay(std::unique_ptr<platform::XvfbServer>& ownServer)
{
    if (const char* display = std::getenv("DISPLAY"); display && *display)
        return display;
    std::string error;
    ownServer = platform::XvfbServer::start({}, error);
    if (!ownServer) {
        std::cout << "no display to share: " << error << std::endl;
        return {};
    }
    ::setenv("DISPLAY", ownServer->displayName().c_str(), 1);
    std::cout << "no DISPLAY given: sharing a virtual screen on " << ownServer->displayName() << std::endl;
    return ownServer->displayName();
}

// Runs the host with no window: listens, advertises, answers viewers and streams the X screen
// to a handshaken viewer, until SIGINT or SIGTERM. Status lines go to standard output.
int runHeadless(const app::CommandLine& options)
{
    asio::io_context mainContext;
    std::unique_ptr<platform::XvfbServer> ownServer;
    const std::string displayName = chooseDisplay(ownServer);
    auto displays = std::make_shared<platform::X11DisplayCaptureFactory>(displayName);
    auto encoders = std::make_shared<platform::FfmpegH264EncoderFactory>();
    std::shared_ptr<capture::ScreenCapturer> capturer;

    link::FrameStreamer::Environment environment;
    environment.clock = runtime::makeSteadyClock();
    environment.advertiser = std::make_shared<platform::AvahiServiceAdvertiser>();
    environment.hostName = [] { return platform::userVisibleHostName(); };
    environment.pathResolver = [](const std::string& address) { return platform::resolveNetworkPath(address); };
    environment.version = versionString;
    environment.build = buildNumber;
    environment.port = options.port;
    auto streamer = link::FrameStreamer::create(std::move(environment));

    std::string shownStatus;
    auto showStatus = [&] {
        std::string status = streamer->peerName();
        if (streamer->isViewerConnected())
            status += streamer->h264Capable() ? " (H264)" : " (JPEG)";
        if (status != shownStatus) {
            shownStatus = status;
            std::cout << status << std::endl;
        }
    };
    // Capture runs exactly while a viewer is connected and handshaken.
    auto updateCapture = [&] {
        const bool viewer = streamer->isViewerConnected();
        if (viewer && !capturer) {
            const auto display = platform::x11ScreenDisplay(displayName);
            if (!display) {
                std::cout << "capture: no X display" << std::endl;
                return;
            }
            auto next = capture::ScreenCapturer::create(std::make_shared<capture::StreamerFrameSink>(streamer), options.quality,
                                                        options.frameRate, displays, encoders);
            try {
                next->start(*display);
                capturer = std::move(next);
                const auto configuration = capturer->configuration();
                std::cout << "capture: " << configuration.width << "x" << configuration.height << " at "
                          << capture::framesPerSecond(options.frameRate) << " fps, "
                          << (capturer->hasEncoder() ? "H.264 or JPEG" : "JPEG only") << std::endl;
            } catch (const std::exception& error) {
                std::cout << "capture: " << error.what() << std::endl;
            }
        } else if (!viewer && capturer) {
            capturer->stop();
            capturer.reset();
            std::cout << "capture: stopped" << std::endl;
        }
    };
    streamer->onStateChange = [&] {
        asio::post(mainContext, [&] {
            showStatus();
            updateCapture();
        });
    };
    streamer->onViewerIdentity = [&](const std::string& name, const std::string&) {
        asio::post(mainContext, [name] { std::cout << "viewer: " << name << std::endl; });
    };

    try {
        streamer->start();
        std::cout << "listening on port " << options.port << " as \"" << streamer->advertisedName() << "\"" << std::endl;
    } catch (const std::system_error& error) {
        // The streamer keeps retrying every second; say why it is not listening yet.
        std::cout << "수신 대기 실패 \u00B7 " << error.code().message() << std::endl;
    }

    asio::signal_set signals(mainContext, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code&, int) {
        if (capturer)
            capturer->stop();
        capturer.reset();
        streamer->stop();
        mainContext.stop();
    });
    mainContext.run();
    streamer.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = app::parseCommandLine(arguments);
    if (!parsed.options) {
        std::cerr << "kestrio: " << parsed.error << "\n\n" << app::usageText();
        return 2;
    }
    const auto& options = *parsed.options;
    if (options.help) {
        std::cout << app::usageText();
        return 0;
    }
    if (options.version) {
        std::cout << "kestrio " << versionString << " (" << buildNumber << ")\n";
        return 0;
    }
    // There is no window yet: without --headless the host runs the same way.
    return runHeadless(options);
}
