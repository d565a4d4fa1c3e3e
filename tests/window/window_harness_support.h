#pragma once

// The real window over the real model, in a private X server: the model's platform facilities
// are the fakes of the model tests, its main executor is the Qt GUI thread and its clock is
// virtual, so that the copy feedback and every other wait moves only when a test says so.

#include "model/model_fakes_support.h"
#include "remote/router_port_mapping.h"
#include "updates/feed_fakes.h"
#include "updates/update_checker.h"
#include "window/main_window.h"
#include "window/qt_main_executor.h"

#include <QFont>
#include <QImage>
#include <QSize>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

class QQuickItem;
class QQuickWindow;

// gtest prints Qt strings as text.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace kestrio::test {

// The size the window is shown at unless a test says otherwise: everything fits without
// scrolling.
inline constexpr QSize fullWindowSize{560, 1360};

class WindowHarness : public FakeFacilities {
public:
    WindowHarness();
    ~WindowHarness();

    WindowHarness(const WindowHarness&) = delete;
    WindowHarness& operator=(const WindowHarness&) = delete;

    // Builds the model and the window over the fakes as configured, shows the window at `size`,
    // waits until the X server shows it and runs everything that follows (the first refresh
    // among it).
    void open(QSize size = fullWindowSize);
    // open() in two steps: the model and the scene first, nothing run yet.
    void build(QSize size = fullWindowSize);
    void show();

    // Runs the GUI thread's queue until the model's tasks and the window's updates are done.
    void settle();
    // Moves virtual time, then settles.
    void advance(runtime::Duration step);

    QQuickWindow& window() const;
    window::WindowModel& content() const;

    // Items by objectName, anywhere in the scene (pop-ups included).
    QQuickItem* find(const QString& name) const;
    QQuickItem& item(const QString& name) const;  // fails the test when missing
    bool shown(const QString& name) const;          // exists and is visible with all its ancestors
    bool enabled(const QString& name) const;
    QString text(const QString& name) const;  // the item's "text" property

    // As a person would: scrolls the item into view, then clicks its middle.
    void click(const QString& name);
    // Moves the pointer over the item's middle.
    void hover(const QString& name);
    // Keys to whatever has the keyboard focus, one press per character (ASCII).
    void type(const std::string& keys);
    void press(Qt::Key key);
    // Renders a frame (laying the scene out first) and returns it.
    QImage render();

    // Gives the window the keyboard focus, as a window manager does when it is clicked, and
    // waits until Qt sees it active.
    void activate();

    // Fakes, beside those of FakeFacilities; change them before open() unless a test says otherwise.
    std::shared_ptr<AnsweringRouter> router;  // null: port mapping is off, and the remote row says so
    // The update check: with a feed URL the button may be pressed; its download runs on
    // `updateWorker`, which only the test runs.
    std::string feedURL;
    std::shared_ptr<RecordingFeedFetcher> feedFetcher = std::make_shared<RecordingFeedFetcher>();
    std::shared_ptr<runtime::ManualExecutor> updateWorker = std::make_shared<runtime::ManualExecutor>();

    std::shared_ptr<window::QtMainExecutor> executor;
    std::shared_ptr<model::HostModel> model;
    std::shared_ptr<updates::UpdateChecker> updater;
    std::unique_ptr<window::MainWindow> mainWindow;

private:
    void scrollIntoView(QQuickItem& target);
    // Scrolls the item into view and lays the scene out; its middle, in window coordinates.
    QPoint reach(const QString& name);
};

// Runs the event loop until `condition` holds or `timeout` has passed, for what only the X
// server decides (focus changes). False on timeout.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Gives the X server's keyboard focus to `window` from a client of its own, as a window manager
// would; focusElsewhere() to none of the test's windows, as a click on another program would.
void focusXWindow(std::uint32_t window);
void focusElsewhere();

// The display the test program's X server runs on, and whether it could be started.
const std::string& testDisplayName();

// Every Text item of the scene: its objectName (may be empty), text and font.
struct SceneText {
    QString name;
    QString text;
    QFont font;
};
std::vector<SceneText> sceneTexts(QQuickWindow& window);

}  // namespace kestrio::test
