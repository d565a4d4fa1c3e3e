#include "window/window_application.h"

#include "window/main_window.h"
#include "window/qt_main_executor.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQuickWindow>

namespace kestrio::window {

WindowApplication::WindowApplication(int& argc, char** argv)
{
    application_ = std::make_unique<QGuiApplication>(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Kestrio"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Kestrio"));
    // Lets the desktop match the window with kestrio.desktop and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("kestrio"));
    // Closing the window ends the program only after the model has shut down.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    executor_ = QtMainExecutor::create();
}

WindowApplication::~WindowApplication()
{
    // Tasks still queued are dropped on this thread while the application exists.
    executor_->shutdown();
    executor_.reset();
    application_.reset();
}

std::shared_ptr<runtime::Executor> WindowApplication::mainExecutor() const
{
    return executor_;
}

int WindowApplication::run(std::shared_ptr<model::HostModel> model, std::shared_ptr<updates::UpdateChecker> updater,
                           VersionText version, std::shared_ptr<runtime::Clock> clock)
{
    if (!clock)
        clock = runtime::makeSteadyClock();
    model_ = model;
    finishing_ = false;
    int status = 0;
    {
        MainWindow window({model, std::move(updater), executor_, std::move(clock), std::move(version)});
        if (!window.window()) {
            error_ = window.error();
            status = 1;
            finish();
        } else {
            QGuiApplication::setWindowIcon(window.window()->icon());
            // Closing the window hides it.
            QObject::connect(window.window(), &QWindow::visibleChanged, [this](bool visible) {
                if (!visible)
                    finish();
            });
            window.window()->setTitle(QStringLiteral("Kestrio"));
            window.show();
            if (quitRequested_)
                finish();
        }
        QGuiApplication::exec();
    }
    model_.reset();
    quitRequested_ = false;
    return status;
}

void WindowApplication::quit()
{
    quitRequested_ = true;
    if (model_)
        finish();
}

void WindowApplication::finish()
{
    if (std::exchange(finishing_, true))
        return;
    model_->shutdown();
    // Behind the tasks the shutdown cancelled, which end on this thread first.
    executor_->post([] { QCoreApplication::quit(); });
}

}  // namespace kestrio::window
