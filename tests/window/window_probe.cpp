// The window as a program: WindowApplication over the model and the model tests' fakes.
//
//   kestrio_window_probe [--own-display] [--quit-after-first-frame] [--quit-after-ms N]
//
// Prints "first-frame-ns N" (CLOCK_MONOTONIC, nanoseconds) when the window has shown its first
// frame, so that a bench can time start-up from its own clock, and "scene-graph software|opengl"; then quits at once or N
// milliseconds later, or runs until the window is closed. --own-display starts a private Xvfb
// instead of using $DISPLAY. Exits 0 when the window showed a frame and the model was shut down
// on the way out.
#include "model/model_fakes_support.h"
#include "platform/x11/x11_wording.h"
#include "platform/x11/xvfb_server.h"
#include "window/window_application.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

using namespace kestrio;

int main(int argc, char** argv)
{
    bool ownDisplay = false;
    bool quitAfterFirstFrame = false;
    int quitAfterMs = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--own-display")
            ownDisplay = true;
        else if (argument == "--quit-after-first-frame")
            quitAfterFirstFrame = true;
        else if (argument == "--quit-after-ms" && i + 1 < argc)
            quitAfterMs = std::atoi(argv[++i]);
    }
    std::unique_ptr<platform::XvfbServer> server;
    if (ownDisplay) {
        std::string error;
        server = platform::XvfbServer::start({}, error);
        if (!server) {
            std::fprintf(stderr, "no X server: %s\n", error.c_str());
            return 3;
        }
        ::setenv("DISPLAY", server->displayName().c_str(), 1);
        server->authorizeThisProcess();
    }

    int status = 0;
    bool framed = false;
    int linkStops = 0;
    {
        window::WindowApplication application(argc, argv);
        auto main = application.mainExecutor();

        auto clock = std::make_shared<runtime::VirtualClock>();
        auto link = std::make_shared<test::FakeViewerLink>(clock);
        auto displays = std::make_shared<test::FakeDisplayFacility>();
        displays->physical = {test::physicalDisplay(1, 0)};
        test::CaptureLog captures;
        model::HostModel::Environment environment;
        environment.mainExecutor = main;
        environment.clock = clock;
        environment.link = link;
        environment.settings = std::make_shared<test::MemorySettingsStore>();
        environment.displays = displays;
        environment.permissions = std::make_shared<test::FakePermissions>();
        environment.captureSessions = captures.factory();
        environment.localAddress = [] { return std::optional<std::string>("192.168.0.10"); };
        environment.wording = platform::x11DesktopWording();
        // Every queue is the GUI thread; nothing here posts input, lists phones or sends mail.
        environment.mouseQueue = main;
        environment.inputQueue = main;
        environment.background = main;
        environment.phoneQueue = main;
        environment.notifierQueue = main;
        environment.input = std::make_shared<test::RecordingInput>();
        environment.volume = model::volumeControlOff();
        environment.messagesNotifier = model::messagesOff();
        environment.trustedPhones = std::make_shared<link::TrustedPhones>();
        environment.loginItem = std::make_shared<test::FakeLoginItem>();
        environment.deviceLister = std::make_shared<test::FakeDeviceLister>();
        environment.portMapping = model::portMappingOff();
        auto model = model::HostModel::create(std::move(environment));

        // Runs once the event loop has started, before the first frame can have been drawn.
        main->post([&] {
            for (auto* window : QGuiApplication::topLevelWindows()) {
                auto* quick = qobject_cast<QQuickWindow*>(window);
                if (!quick)
                    continue;
                QObject::connect(quick, &QQuickWindow::frameSwapped, quick, [&, quick] {
                    if (std::exchange(framed, true))
                        return;
                    timespec now{};
                    ::clock_gettime(CLOCK_MONOTONIC, &now);
                    std::printf("first-frame-ns %lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
                    const auto api = quick->rendererInterface()->graphicsApi();
                    std::printf("scene-graph %s\n", api == QSGRendererInterface::Software ? "software"
                                                     : api == QSGRendererInterface::OpenGL ? "opengl"
                                                                                           : "other");
                    std::fflush(stdout);
                    if (quitAfterFirstFrame)
                        application.quit();
                    else if (quitAfterMs >= 0)
                        QTimer::singleShot(quitAfterMs, [&application] { application.quit(); });
                });
            }
        });
        status = application.run(model, nullptr, window::VersionText{"0.1.0", "1"});
        if (status != 0)
            std::fprintf(stderr, "%s\n", application.error().c_str());
        linkStops = link->stops;
        model.reset();
    }
    if (status != 0)
        return status;
    if (!framed)
        return 4;
    return linkStops > 0 ? 0 : 5;
}
