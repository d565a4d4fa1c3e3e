#include "app/command_line.h"
#include "app/desktop_chooser.h"
#include "app/permanent_mapping_setting.h"
#include "app/status_printer.h"
#include "app/update_command.h"
#include "app/update_schedule.h"
#include "display/virtual_display_manager.h"
#include "kestrio_version.h"
#include "link/frame_streamer.h"
#include "link/peer_trust.h"
#include "model/host_model.h"
#include "model/screen_capture_session.h"
#include "model/streamer_frame_sink.h"
#include "model/streamer_viewer_link.h"
#include "model/viewer_switch.h"
#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/ffmpeg/ffmpeg_h264_encoder.h"
#include "platform/os/host_name.h"
#include "platform/os/interface_addresses.h"
#include "platform/os/json_settings_store.h"
#include "platform/os/network_change_watch.h"
#include "platform/os/network_path_resolver.h"
#include "platform/os/pulse_volume_control.h"
#include "platform/os/sendmail_message_delivery.h"
#include "platform/os/single_instance.h"
#include "platform/os/xdg_autostart.h"
#include "platform/router/natpmp_upnp_port_mapping.h"
#include "platform/usbmux/usbmux_device_lister.h"
#include "platform/web/browser_viewers.h"
#include "remote/local_address.h"
#include "remote/messages_notifier.h"
#include "remote/nat_port_mapper.h"
#include "runtime/io_context_executor.h"
#include "runtime/serial_queue.h"
#include "updates/feed_fetcher.h"
#include "updates/update_checker.h"
#include "web/browser_pairing.h"
#include "window/window_application.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace kestrio;

// The exit status when the desktop session ended under the host.
constexpr int desktopEndedStatus = 3;

// Where lines go when they must not be printed.
std::ostream& quiet()
{
    static std::ostream sink(nullptr);
    return sink;
}

// The smoke test of the virtual monitor: a 1280×720 monitor made at start-up and reported one
// second later as the one line "virtual_display_id=N active=true|false"; the exit status is 0
// when it is active, 4 when not.
struct SmokeTest {
    explicit SmokeTest(display::DisplayFacility& displays) : facility(displays)
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

    display::DisplayFacility& facility;
    std::optional<display::VirtualDisplayManager> manager;
};

// Everything the host runs besides its main loop: the viewer link, the model and the queues
// they use. Built and ended on the main executor's thread.
struct HostParts {
    std::shared_ptr<link::FrameStreamer> streamer;
    std::shared_ptr<model::StreamerViewerLink> viewerLink;
    // The one viewer the model serves, of whichever kind connected last.
    std::shared_ptr<model::ViewerSwitch> viewers;
    std::vector<std::shared_ptr<runtime::SerialQueue>> queues;
    std::shared_ptr<runtime::SerialQueue> natQueue;
    std::shared_ptr<app::PermanentMappingSetting> permanentMapping;
    // The one store of the run: each store keeps its own copy of the file and rewrites all of it.
    std::shared_ptr<model::SettingsStore> settings;
    std::shared_ptr<runtime::Clock> clock;
    std::shared_ptr<model::HostModel> model;
    // The browser viewer's page, when it is served.
    std::shared_ptr<web::BrowserPairing> browserPairing;
    std::shared_ptr<platform::web::BrowserViewers> browserViewers;

    // `out` takes the lines that say what the host serves.
    HostParts(const app::CommandLine& options, const std::shared_ptr<runtime::Executor>& mainExecutor,
              const desktop::DesktopBackend& desktop, std::ostream& out)
    {
        clock = runtime::makeSteadyClock();
        model::PlatformWording wording = desktop.wording;
        link::FrameStreamer::Environment environment;
        environment.clock = clock;
        environment.advertiser = std::make_shared<platform::avahi::AvahiServiceAdvertiser>();
        environment.hostName = [] { return platform::os::userVisibleHostName(); };
        environment.pathResolver = [](const std::string& address) { return platform::os::resolveNetworkPath(address); };
        environment.networkChanges = platform::os::watchNetworkChanges;
        environment.version = versionString;
        environment.build = buildNumber;
        environment.port = options.port;
        // Who may connect from outside the home network: the model keeps the list, the link reads it.
        auto trustedPhones = std::make_shared<link::TrustedPhones>();
        environment.ownSubnets = [] { return platform::os::interfaceSubnets(); };
        environment.trustedPhones = trustedPhones;
        environment.thisComputer = wording.thisComputer;
        streamer = link::FrameStreamer::create(std::move(environment));
        viewerLink = std::make_shared<model::StreamerViewerLink>(streamer);
        std::vector<model::ViewerChannel> channels{{viewerLink, std::make_shared<model::StreamerFrameSink>(streamer), "다른 뷰어가 연결됨"}};
        if (options.webPort != 0) {
            browserViewers = platform::web::BrowserViewers::create(browserPageSettings(options.webPort, mainExecutor, out), clock);
            channels.push_back({browserViewers, browserViewers, "브라우저가 연결됨"});
        }
        viewers = model::ViewerSwitch::create(std::move(channels));

        const auto queue = [this](const char* label) {
            auto made = runtime::SerialQueue::create(label);
            queues.push_back(made);
            return made;
        };
        model::HostModel::Environment world;
        settings = platform::os::JsonSettingsStore::openDefault();
        world.shared = {.mainExecutor = mainExecutor,
                        .clock = clock,
                        .link = viewers,
                        .settings = settings,
                        .displays = desktop.displays,
                        .permissions = desktop.permissions};
        // No Linux desktop has settings where the permissions are granted: permissionSettings stays empty.
        world.localAddress = [] { return remote::chooseLocalAddress(platform::os::interfaceAddresses()); };
        world.loginItem = std::make_shared<platform::os::XdgAutostart>();
        world.wording = std::move(wording);
        if (browserPairing)
            world.browserPage = model::BrowserPage{options.webPort, browserPairing->code()};

        world.streaming.captureSessions =
            model::ScreenCaptureSession::factory(viewers, desktop.capture, std::make_shared<platform::ffmpeg::FfmpegH264EncoderFactory>());

        world.input.input = desktop.input;
        world.input.mouseQueue = queue("com.kestrio.mouse-control");
        world.input.background = queue("com.kestrio.background");
        world.input.inputQueue = queue("com.kestrio.input");
        world.input.volume = std::make_shared<platform::os::PulseVolumeControl>();

        world.phones.deviceLister = std::make_shared<platform::usbmux::UsbmuxDeviceLister>();
        world.phones.phoneQueue = queue("com.kestrio.phones");
        world.phones.trustedPhones = trustedPhones;

        natQueue = runtime::SerialQueue::create("com.kestrio.nat-port-mapper");
        if (options.portMapping) {
            permanentMapping = std::make_shared<app::PermanentMappingSetting>(settings, mainExecutor);
            world.remote.portMapping = model::routerPortMapping(remote::NATPortMapper::create(
                {natQueue, clock, std::make_shared<platform::router::NatPmpUpnpPortMapping>(), permanentMapping->memory()}));
        } else {
            world.remote.portMapping = model::portMappingOff();
        }
        world.remote.streamingPort = options.port;
        world.remote.messagesNotifier = std::make_shared<remote::MessagesNotifier>(std::make_shared<platform::os::SendmailMessageDelivery>());
        world.remote.notifierQueue = queue("com.kestrio.messages");
        model = model::HostModel::create(std::move(world));

        // This run's stream settings; like every stream setting, they are not stored.
        auto& streaming = model->streaming();
        streaming.setSourceMode(options.mode);
        streaming.setQuality(options.quality);
        streaming.setFrameRate(options.frameRate);
    }

    // The page, and its address with the pairing code in it (which pairs without typing).
    platform::web::BrowserPageServer::Settings browserPageSettings(std::uint16_t port, const std::shared_ptr<runtime::Executor>& mainExecutor,
                                                                   std::ostream& out)
    {
        browserPairing = std::make_shared<web::BrowserPairing>(web::BrowserPairing::newCode());
        platform::web::BrowserPageServer::Settings settings;
        settings.port = port;
        settings.clock = clock;
        settings.pairing = browserPairing;
        settings.isHomeNetworkPeer = [](const std::string& text) {
            std::error_code error;
            const auto peer = asio::ip::make_address(text, error);
            return !error && link::isHomeNetworkPeer(peer, platform::os::interfaceSubnets());
        };
        settings.sourceNetworkOf = [](const std::string& text) {
            std::error_code error;
            const auto peer = asio::ip::make_address(text, error);
            return error ? text : link::sourceNetworkOf(peer);
        };
        // Told on the page's thread: said on the main one. (The address is a status line of the model's.)
        settings.status = [mainExecutor, &out, port](bool listening, const std::string& error) {
            if (listening)
                return;
            mainExecutor->post([&out, port, error] {
                out << "browser page: port " << port << " cannot be used (" << error << "); trying again every second" << std::endl;
            });
        };
        return settings;
    }

    // After the model's shutdown and the main loop's end.
    ~HostParts()
    {
        model.reset();
        for (const auto& queue : queues)
            queue->shutdown();
        // The mapping is withdrawn on the mapper's queue: let that finish before leaving.
        natQueue->sync();
        natQueue->shutdown();
        if (permanentMapping)
            permanentMapping->apply();
        viewers.reset();
        if (browserViewers)
            browserViewers->stop();
        browserViewers.reset();
        viewerLink.reset();
        streamer.reset();
    }
};

// The update check of a host run: the checker (which checks nothing without a feed), its
// downloads on a queue of their own, and the checks it makes by itself. Built and ended on the
// main executor's thread.
struct HostUpdates {
    const HostParts& host;
    std::shared_ptr<runtime::Executor> mainExecutor;
    runtime::CancellationSource quitting;
    std::shared_ptr<runtime::SerialQueue> queue = runtime::SerialQueue::create("com.kestrio.updates");
    std::shared_ptr<updates::UpdateChecker> checker;
    std::shared_ptr<app::UpdateSchedule> schedule;

    HostUpdates(const HostParts& parts, std::shared_ptr<runtime::Executor> main) : host(parts), mainExecutor(std::move(main))
    {
        auto fetch = app::feedFetchOptions(versionString);
        fetch.cancel = quitting.token();
        checker = std::make_shared<updates::UpdateChecker>(mainExecutor, queue, std::make_shared<updates::CurlFeedFetcher>(fetch),
                                                           updates::UpdateChecker::Options{versionString, app::updateFeedURL(*host.settings)});
    }

    // Checks now when a check is due, and daily from then on.
    void startSchedule() { schedule = app::UpdateSchedule::start({checker, host.settings, mainExecutor, host.clock, {}}); }

    ~HostUpdates()
    {
        schedule.reset();
        // A download in progress ends within a second instead of holding the quit up.
        quitting.cancel();
        checker.reset();
        queue->shutdown();
    }
};

// Runs the host with no window until SIGINT or SIGTERM, or until the desktop session ends (exit
// status 3): the model streams to the viewers that connect, and the status lines the window would
// show are printed as they change. In the smoke test its one line is the only output.
int runHeadless(const app::CommandLine& options)
{
    asio::io_context mainContext;
    auto mainExecutor = std::make_shared<runtime::IoContextExecutor>(mainContext);
    std::ostream& out = options.smokeVirtualDisplay ? quiet() : std::cout;

    // A newer copy takes over: older ones are asked to quit, and nobody waits for them.
    auto instance = platform::os::SingleInstance::forCurrentUser();
    instance.claim();

    const desktop::DesktopBackend desktop = app::chooseDesktopBackend(out);
    std::optional<SmokeTest> smoke;
    if (options.smokeVirtualDisplay)
        smoke.emplace(*desktop.displays);

    std::optional<HostParts> host;
    host.emplace(options, mainExecutor, desktop, out);
    auto& model = host->model;

    if (!model->listenerFailed())
        out << "listening on port " << options.port << " as \"" << host->streamer->advertisedName() << "\"" << std::endl;
    app::StatusPrinter printer(out);
    bool printScheduled = false;
    // The desktop session ended (its server or compositor is gone): the host ends too, saying why.
    int exitStatus = 0;
    bool desktopEnded = false;
    std::function<void()> finish;
    const auto endWithDesktop = [&](const std::string& why) {
        if (std::exchange(desktopEnded, true))
            return;
        std::cerr << "kestrio: " << why << std::endl;
        exitStatus = desktopEndedStatus;
        finish();
    };
    if (desktop.watchSession && !smoke) {
        desktop.watchSession([&](desktop::SessionNews news) {
            asio::post(mainContext, [&, news = std::move(news)] {
                if (news.ended)
                    endWithDesktop(news.text);
                else
                    out << news.text << std::endl;
            });
        });
    }
    model->observe([&] {
        // Told before the change: read the model once the current task is done with it.
        if (std::exchange(printScheduled, true))
            return;
        asio::post(mainContext, [&] {
            printScheduled = false;
            printer.show(*model);
            if (const auto& gone = model->desktopGone())
                endWithDesktop(*gone);
        });
    });
    // Read at once, so that the first lines give the browser page's address with its code.
    model->refreshLocalAddress();
    printer.show(*model);
    model->launch([](model::HostModel& m) { return m.refreshAll(); });

    // The update check's outcomes are status lines too. (Observers are told after its changes.)
    std::optional<HostUpdates> updateCheck;
    if (!options.smokeVirtualDisplay) {
        updateCheck.emplace(*host, mainExecutor);
        updateCheck->checker->observe([&] { printer.showUpdate(updateCheck->checker->state()); });
        updateCheck->startSchedule();
    }

    // The window asks again when it becomes active; without one, the input permission is asked
    // again each second while a viewer is connected (gated events reuse the answer meanwhile).
    asio::steady_timer trustRefresh(mainContext);
    std::function<void()> refreshTrustLater = [&] {
        trustRefresh.expires_after(model::HostModel::inputTrustLifetime);
        trustRefresh.async_wait([&](const std::error_code& error) {
            if (error)
                return;
            model->refreshInputTrust();
            refreshTrustLater();
        });
    };
    refreshTrustLater();

    finish = [&] {
        trustRefresh.cancel();
        model->shutdown();
        // The tasks the shutdown cancelled end on the main context first.
        asio::post(mainContext, [&] { mainContext.stop(); });
    };
    asio::steady_timer smokeReport(mainContext, std::chrono::seconds(1));
    if (smoke) {
        smokeReport.async_wait([&](const std::error_code& error) {
            if (error)
                return;
            exitStatus = smoke->report();
            finish();
        });
    }
    asio::signal_set signals(mainContext, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code& error, int) {
        if (!error)
            finish();
    });
    mainContext.run();

    updateCheck.reset();
    host.reset();
    smoke.reset();  // removes the smoke test's monitor
    instance.release();
    return exitStatus;
}

// The host with its window, until the window is closed, SIGINT or SIGTERM. Needs a display.
int runWindow(const app::CommandLine& options, int& argc, char** argv)
{
    // First: this thread becomes the GUI thread, which is the model's main executor.
    window::WindowApplication application(argc, argv);
    const auto mainExecutor = application.mainExecutor();
    auto instance = platform::os::SingleInstance::forCurrentUser();
    instance.claim();
    // The window shows the status; what the backend says of itself goes to standard error, so
    // that standard output carries only what was asked for (the smoke test's one line).
    const desktop::DesktopBackend desktop = app::chooseDesktopBackend(std::cerr);
    std::optional<SmokeTest> smoke;
    if (options.smokeVirtualDisplay)
        smoke.emplace(*desktop.displays);
    std::optional<HostParts> host;
    host.emplace(options, mainExecutor, desktop, std::cerr);

    std::optional<HostUpdates> updateCheck;
    updateCheck.emplace(*host, mainExecutor);
    if (!options.smokeVirtualDisplay)
        updateCheck->startSchedule();
    // SIGINT and SIGTERM end the window as closing it does: caught on a thread of asio's, the
    // quit runs on the GUI thread.
    asio::io_context signalContext;
    asio::signal_set signals(signalContext, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code& error, int) {
        if (!error)
            mainExecutor->post([&application] { application.quit(); });
    });
    std::thread signalThread([&signalContext] { signalContext.run(); });

    int exitStatus = 0;
    auto clock = runtime::makeSteadyClock();
    runtime::TimerHandle smokeReport;
    if (smoke) {
        smokeReport = clock->schedule(std::chrono::seconds(1), mainExecutor, [&] {
            exitStatus = smoke->report();
            application.quit();
        });
    }
    // Qt ends the program itself when its display goes; a session that ends otherwise ends the window.
    if (desktop.watchSession && !smoke) {
        desktop.watchSession([&](desktop::SessionNews news) {
            mainExecutor->post([&, news = std::move(news)] {
                std::cerr << (news.ended ? "kestrio: " : "") << news.text << std::endl;
                if (news.ended) {
                    exitStatus = desktopEndedStatus;
                    application.quit();
                }
            });
        });
    }
    // run() shuts the model down when the window closes.
    const int windowStatus = application.run(host->model, updateCheck->checker, window::VersionText{versionString, buildNumber}, clock);
    if (windowStatus != 0)
        std::cerr << "kestrio: " << application.error() << std::endl;
    smokeReport.cancel();
    signalContext.stop();
    signalThread.join();
    updateCheck.reset();
    host.reset();
    smoke.reset();  // removes the smoke test's monitor
    instance.release();
    return windowStatus != 0 ? windowStatus : exitStatus;
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
    if (options.checkForUpdates) {
        auto settings = platform::os::JsonSettingsStore::openDefault();
        const auto fetch = app::feedFetchOptions(versionString);
        return app::runUpdateCheck(std::cout, std::make_shared<updates::CurlFeedFetcher>(fetch), app::updateFeedURL(*settings),
                                   versionString);
    }
    // The smoke flag counts wherever it stands, the program path included.
    auto runOptions = options;
    for (int i = 0; i < argc; ++i)
        runOptions.smokeVirtualDisplay = runOptions.smokeVirtualDisplay || std::string(argv[i]) == "--smoke-virtual-display";
    // Without a display there is nowhere to show a window: the host runs as with --headless, on a
    // virtual screen of its own.
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    if (runOptions.headless || (!set("DISPLAY") && !set("WAYLAND_DISPLAY")))
        return runHeadless(runOptions);
    return runWindow(runOptions, argc, argv);
}
