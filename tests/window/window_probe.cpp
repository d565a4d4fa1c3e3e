// The window as a program over the model tests' fakes, for the start-up bench and one test:
//   kestrio_window_probe [--own-display] [--quit-after-ms N]
// prints "first-frame-ns N" (CLOCK_MONOTONIC) and "scene-graph software|opengl|other" at the first
// frame, then quits N ms later (or when closed); --own-display starts a private Xvfb. Exits 0 when
// the window showed a frame and the model was shut down.
#include "platform/x11/x11_wording.h"
#include "platform/x11/xvfb_server.h"
#include "support/host_fakes.h"
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
    std::unique_ptr<platform::x11::XvfbServer> server;
    int quitAfterMs = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quit-after-ms" && i + 1 < argc)
            quitAfterMs = std::atoi(argv[++i]);
        if (argument != "--own-display")
            continue;
        std::string error;
        if (!(server = platform::x11::XvfbServer::start({}, error))) {
            std::fprintf(stderr, "no X server: %s\n", error.c_str());
            return 3;
        }
        ::setenv("DISPLAY", server->displayName().c_str(), 1);
        server->authorizeThisProcess();
    }

    bool framed = false;
    test::FakeFacilities fakes;
    fakes.displays->physical = {test::physicalDisplay(1, 0)};
    fakes.wording = platform::x11::x11DesktopWording();
    window::WindowApplication application(argc, argv);
    auto main = application.mainExecutor();
    auto model = model::HostModel::create(fakes.environment(main));

    // Runs once the event loop has started, before the first frame can have been drawn.
    main->post([&] {
        auto* quick = qobject_cast<QQuickWindow*>(QGuiApplication::topLevelWindows().value(0));
        QObject::connect(quick, &QQuickWindow::frameSwapped, quick, [&, quick] {
            if (std::exchange(framed, true))
                return;
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const auto api = quick->rendererInterface()->graphicsApi();
            std::printf("first-frame-ns %lld\nscene-graph %s\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                        api == QSGRendererInterface::Software ? "software" : api == QSGRendererInterface::OpenGL ? "opengl" : "other");
            std::fflush(stdout);
            if (quitAfterMs >= 0)
                QTimer::singleShot(quitAfterMs, [&application] { application.quit(); });
        });
    });
    const int status = application.run(model, nullptr, window::VersionText{"0.1.0", "1"});
    if (status != 0)
        std::fprintf(stderr, "%s\n", application.error().c_str());
    return status != 0 ? status : !framed ? 4 : fakes.link->stops > 0 ? 0 : 5;
}
