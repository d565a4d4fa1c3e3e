#include "app/command_line.h"
#include "kestrio_version.h"
#include "link/frame_streamer.h"
#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/linux/host_name.h"
#include "platform/linux/network_path_resolver.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace kestrio;

// Runs the viewer link with no window: listens, advertises, answers viewers, until SIGINT or
// SIGTERM. Status lines go to standard output as they change.
int runHeadless(const app::CommandLine& options)
{
    asio::io_context mainContext;

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
    streamer->onStateChange = [&] { asio::post(mainContext, showStatus); };
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
