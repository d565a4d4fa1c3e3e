#pragma once

#include "model/host_model.h"
#include "runtime/clock.h"
#include "runtime/executor.h"
#include "updates/update_checker.h"
#include "window/version_text.h"

#include <memory>
#include <string>

class QGuiApplication;

namespace kestrio::window {

class QtMainExecutor;

// The Qt application of the window mode. Create it first, on the main thread; that thread
// becomes the GUI thread and the model's main executor.
class WindowApplication {
public:
    WindowApplication(int& argc, char** argv);
    ~WindowApplication();

    WindowApplication(const WindowApplication&) = delete;
    WindowApplication& operator=(const WindowApplication&) = delete;

    // Runs tasks on the GUI thread, in order, never inline. Create the model with it.
    std::shared_ptr<runtime::Executor> mainExecutor() const;

    // Shows the window for `model` and runs the event loop until the window is closed or quit()
    // is called; the model is then shut down and the tasks that ends are let finish. `updater`
    // may be null; `clock` times the window's copy feedback (null: the steady clock). Returns
    // the exit status: 0, or 1 when the window could not be built (error() says why).
    int run(std::shared_ptr<model::HostModel> model, std::shared_ptr<updates::UpdateChecker> updater, VersionText version,
            std::shared_ptr<runtime::Clock> clock = nullptr);

    // Ends run() (or makes the next run() end at once). Call on the main thread.
    void quit();

    const std::string& error() const { return error_; }

private:
    void finish();

    std::unique_ptr<QGuiApplication> application_;
    std::shared_ptr<QtMainExecutor> executor_;
    std::shared_ptr<model::HostModel> model_;  // while run() runs
    bool quitRequested_ = false;
    bool finishing_ = false;
    std::string error_;
};

}  // namespace kestrio::window
