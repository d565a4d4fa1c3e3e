#pragma once

#include "model/host_model.h"
#include "runtime/clock.h"
#include "runtime/executor.h"
#include "updates/update_checker.h"
#include "window/version_text.h"

#include <memory>
#include <string>

class QQmlApplicationEngine;
class QQuickWindow;

namespace kestrio::window {

class WindowModel;

// The main window over one model: its QML scene, built but not yet shown. Needs the
// QGuiApplication; everything happens on the GUI thread.
class MainWindow {
public:
    struct Environment {
        std::shared_ptr<model::HostModel> model;
        std::shared_ptr<updates::UpdateChecker> updater;  // may be null
        std::shared_ptr<runtime::Executor> mainExecutor;  // the GUI thread's
        std::shared_ptr<runtime::Clock> clock;
        VersionText version;
    };

    explicit MainWindow(Environment environment);
    ~MainWindow();

    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Null when the scene could not be built; error() then says why.
    QQuickWindow* window() const { return window_; }
    const std::string& error() const { return error_; }
    WindowModel& content() const { return *content_; }

    // Shows the window; the first time, the model refreshes everything it shows.
    void show();

private:
    std::unique_ptr<WindowModel> content_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
    QQuickWindow* window_ = nullptr;
    std::string error_;
};

}  // namespace kestrio::window
