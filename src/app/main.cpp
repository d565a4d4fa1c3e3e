#include "app/command_line.h"
#include "capture/frame_sink.h"
#include "capture/screen_capturer.h"
#include "display/virtual_display_manager.h"
#include "kestrio_version.h"
#include "link/frame_streamer.h"
#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/ffmpeg/ffmpeg_h264_encoder.h"
#include "platform/linux/host_name.h"
#include "platform/linux/network_path_resolver.h"
#include "platform/x11/randr_displays.h"
#include "platform/x11/x11_display_capture.h"
#include "platform/x11/x11_screen.h"
#include "platform/x11/xvfb_server.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace kestrio;

// Where status lines go when they must not be printed.
std::ostream& quiet()
{
    static std::ostream sink(nullptr);
    return sink;
}

// The X display to share: $DISPLAY, or a virtual screen of our own when there is none, so that
// the host also runs on a machine without a desktop.
std::string chooseDisplay(std::unique_ptr<platform::XvfbServer>& ownServer, bool sayWhich)
{
    if (const char* display = std::getenv("DISPLAY"); display && *display)
        return display;
    std::string error;
    platform::XvfbServer::Options screen;
    // Started large so that the screen can grow to the right for a virtual monitor.
    screen.maximumSize = platform::ScreenSize{3840, 2160};
    ownServer = platform::XvfbServer::start(screen, error);
    if (!ownServer) {
        if (sayWhich)
            std::cout << "no display to share: " << error << std::endl;
        return {};
    }
    ::setenv("DISPLAY", ownServer->displayName().c_str(), 1);
    if (sayWhich)
        std::cout << "no DISPLAY given: sharing a virtual screen on " << ownServer->displayName() << std::endl;
    return ownServer->displayName();
}

// The smoke test of the virtual monitor: a 1280×720 monitor made at start-up and reported one
// second later as the one line "virtual_display_id=N active=true|false"; the exit status is 0
// when it is active, 4 when not.
struct SmokeTest {
    explicit SmokeTest(const std::string& displayName) : facility(displayName)
    {
        try {
            manager.emplace(facility, display::VirtualResolution::hd);
        } catch (const std::exception&) {
            // Reported below as id 0, not active.
        }
    }

    int report()
    {
        bool active = false;
        if (manager) {
            try {
                for (const auto& listed : facility.displays())
                    active = active || listed.id == manager->displayID();
            } catch (const std::exception&) {
            }
        }
        std::cout << "virtual_display_id=" << (manager ? manager->displayID() : 0) << " active=" << (active ? "true" : "false")
                  << std::endl;
        return active ? 0 : 4;
    }

    platform::RandrDisplayFacility facility;
    std::optional<display::VirtualDisplayManager> manager;
};

// Runs the host with no window: listens, advertises, answers viewers and streams the X screen
// to a handshaken viewer, until SIGINT or SIGTERM. Status lines go to standard output, except
// in the smoke test, whose one line is the only output.
int runHeadless(const app::CommandLine& options)
{
    asio::io_context mainContext;
    std::unique_ptr<platform::XvfbServer> ownServer;
    const std::string displayName = chooseDisplay(ownServer, !options.smokeVirtualDisplay);
    std::optional<SmokeTest> smoke;
    if (options.smokeVirtualDisplay)
        smoke.emplace(displayName);
    std::ostream& out = smoke ? quiet() : std::cout;
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
            out << status << std::endl;
        }
    };
    // Capture runs exactly while a viewer is connected and handshaken.
    auto updateCapture = [&] {
        const bool viewer = streamer->isViewerConnected();
        if (viewer && !capturer) {
            const auto display = platform::x11ScreenDisplay(displayName);
            if (!display) {
                out << "capture: no X display" << std::endl;
                return;
            }
            auto next = capture::ScreenCapturer::create(std::make_shared<capture::StreamerFrameSink>(streamer), options.quality,
                                                        options.frameRate, displays, encoders);
            try {
                next->start(*display);
                capturer = std::move(next);
                const auto configuration = capturer->configuration();
                out << "capture: " << configuration.width << "x" << configuration.height << " at "
                          << capture::framesPerSecond(options.frameRate) << " fps, "
                          << (capturer->hasEncoder() ? "H.264 or JPEG" : "JPEG only") << std::endl;
            } catch (const std::exception& error) {
                out << "capture: " << error.what() << std::endl;
            }
        } else if (!viewer && capturer) {
            capturer->stop();
            capturer.reset();
            out << "capture: stopped" << std::endl;
        }
    };
    streamer->onStateChange = [&] {
        asio::post(mainContext, [&] {
            showStatus();
            updateCapture();
        });
    };
    streamer->onViewerIdentity = [&](const std::string& name, const std::string&) {
        asio::post(mainContext, [&out, name] { out << "viewer: " << name << std::endl; });
    };

    try {
        streamer->start();
        out << "listening on port " << options.port << " as \"" << streamer->advertisedName() << "\"" << std::endl;
    } catch (const std::system_error& error) {
        // The streamer keeps retrying every second; say why it is not listening yet.
        out << "수신 대기 실패 \u00B7 " << error.code().message() << std::endl;
    }

    int exitStatus = 0;
    asio::steady_timer smokeReport(mainContext, std::chrono::seconds(1));
    if (smoke) {
        smokeReport.async_wait([&](const std::error_code& error) {
            if (error)
                return;
            exitStatus = smoke->report();
            if (capturer)
                capturer->stop();
            capturer.reset();
            streamer->stop();
            mainContext.stop();
        });
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
    smoke.reset();  // removes the smoke test's monitor
    return exitStatus;
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
    // There is no window yet: without --headless the host runs the same way. The smoke flag counts
    // wherever it stands, the program path included.
    auto runOptions = options;
    for (int i = 0; i < argc; ++i)
        runOptions.smokeVirtualDisplay = runOptions.smokeVirtualDisplay || std::string(argv[i]) == "--smoke-virtual-display";
    return runHeadless(runOptions);
}
