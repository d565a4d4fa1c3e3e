#include "window/window_harness_support.h"

#include "platform/x11/x11_wording.h"
#include "window/window_model.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFont>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <cstdlib>
#include <functional>

#include <xcb/xcb.h>

namespace kestrio::test {

WindowHarness::WindowHarness()
{
    displays->clock = clock;
    displays->physical = {physicalDisplay(1, 0), physicalDisplay(2, 1920, 1280, 1024)};
    // The window as this host's users see it.
    wording = platform::x11DesktopWording();
    executor = window::QtMainExecutor::create();
}

WindowHarness::~WindowHarness()
{
    if (model) {
        model->shutdown();
        settle();
    }
    mainWindow.reset();
    updater.reset();
    model.reset();
    // Drops whatever is still queued (timers that fire later post nowhere).
    executor->shutdown();
}

void WindowHarness::open(QSize size)
{
    build(size);
    if (!::testing::Test::HasFatalFailure())
        show();
}

void WindowHarness::build(QSize size)
{
    model::HostModel::Environment environment;
    fill(environment);
    environment.mainExecutor = executor;
    // Every queue is the GUI thread: the fakes answer at once.
    environment.mouseQueue = executor;
    environment.background = executor;
    environment.inputQueue = executor;
    environment.phoneQueue = executor;
    environment.notifierQueue = executor;
    environment.portMapping =
        router ? model::routerPortMapping(remote::NATPortMapper::create({executor, clock, router})) : model::portMappingOff();
    environment.localAddress = [address = localAddress] { return address; };
    model = model::HostModel::create(std::move(environment));

    updates::UpdateChecker::Options checker;
    checker.currentVersion = "1";
    checker.feedURL = feedURL;
    updater = std::make_shared<updates::UpdateChecker>(executor, updateWorker, feedFetcher, checker);

    mainWindow = std::make_unique<window::MainWindow>(
        window::MainWindow::Environment{model, updater, executor, clock, window::VersionText{"0.1.0", "1"}});
    ASSERT_NE(mainWindow->window(), nullptr) << mainWindow->error();
    mainWindow->window()->resize(size);
    mainWindow->window()->setPosition(0, 0);
}

void WindowHarness::show()
{
    mainWindow->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(mainWindow->window())) << "the X server never showed the window";
    settle();
}

void WindowHarness::settle()
{
    // A marker goes behind everything queued so far; once it has run and nothing was queued
    // behind it, the queue is idle. The window model's re-reads travel the same queue.
    for (int round = 0; round < 1000; ++round) {
        bool reached = false;
        executor->post([&reached] { reached = true; });
        while (!reached) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        QCoreApplication::sendPostedEvents();
        if (executor->pendingTasks() == 0)
            return;
    }
    ADD_FAILURE() << "the GUI thread never became idle";
}

void WindowHarness::advance(runtime::Duration step)
{
    clock->advance(step);
    settle();
}

QQuickWindow& WindowHarness::window() const
{
    return *mainWindow->window();
}

window::WindowModel& WindowHarness::content() const
{
    return mainWindow->content();
}

namespace {

QQuickItem* findIn(QQuickItem* root, const QString& name)
{
    if (root->objectName() == name)
        return root;
    for (auto* child : root->childItems()) {
        if (auto* found = findIn(child, name))
            return found;
    }
    return nullptr;
}

void visit(QQuickItem* root, const std::function<void(QQuickItem*)>& action)
{
    action(root);
    for (auto* child : root->childItems())
        visit(child, action);
}

}  // namespace

QQuickItem* WindowHarness::find(const QString& name) const
{
    return findIn(window().contentItem(), name);
}

QQuickItem& WindowHarness::item(const QString& name) const
{
    auto* found = find(name);
    if (!found) {
        ADD_FAILURE() << "no item named " << name.toStdString();
        throw std::runtime_error("missing item " + name.toStdString());
    }
    return *found;
}

bool WindowHarness::shown(const QString& name) const
{
    const auto* found = find(name);
    return found && found->isVisible() && found->opacity() > 0;
}

bool WindowHarness::enabled(const QString& name) const
{
    return item(name).isEnabled();
}

QString WindowHarness::text(const QString& name) const
{
    return item(name).property("text").toString();
}

void WindowHarness::scrollIntoView(QQuickItem& target)
{
    auto& scroller = item("scroller");
    auto* content = qvariant_cast<QQuickItem*>(scroller.property("contentItem"));
    if (!content)
        return;
    const QRectF bounds = target.mapRectToItem(content, QRectF(0, 0, target.width(), target.height()));
    const qreal viewTop = scroller.property("contentY").toReal();
    const qreal viewHeight = scroller.height();
    if (bounds.top() >= viewTop && bounds.bottom() <= viewTop + viewHeight)
        return;
    const qreal room = scroller.property("contentHeight").toReal() - viewHeight;
    scroller.setProperty("contentY", std::clamp(bounds.center().y() - viewHeight / 2, 0.0, std::max(0.0, room)));
}

QPoint WindowHarness::reach(const QString& name)
{
    render();
    auto& target = item(name);
    EXPECT_TRUE(target.isVisible()) << name.toStdString() << " is not shown";
    scrollIntoView(target);
    render();
    const QPoint middle = target.mapToScene(QPointF(target.width() / 2, target.height() / 2)).toPoint();
    EXPECT_TRUE(QRect(QPoint(0, 0), window().size()).contains(middle)) << name.toStdString() << " is outside the window";
    return middle;
}

void WindowHarness::click(const QString& name)
{
    QTest::mouseClick(&window(), Qt::LeftButton, Qt::NoModifier, reach(name));
    settle();
    // What the click opened (a list's rows, say) exists once the scene is laid out again.
    render();
}

void WindowHarness::hover(const QString& name)
{
    QTest::mouseMove(&window(), reach(name));
    settle();
    render();
}

void WindowHarness::type(const std::string& keys)
{
    for (const char key : keys) {
        QTest::keyClick(&window(), key);
        settle();
    }
}

QImage WindowHarness::render()
{
    // A text whose size changed (an address that replaced "확인 중") moves its layout only on the
    // next polish: grab until two pictures agree.
    QImage picture = window().grabWindow();
    for (int round = 0; round < 5; ++round) {
        settle();
        QImage again = window().grabWindow();
        if (again == picture)
            break;
        picture = std::move(again);
    }
    return picture;
}

void WindowHarness::press(Qt::Key key)
{
    QTest::keyClick(&window(), key);
    settle();
}

void WindowHarness::activate()
{
    // Qt asks for the focus itself only with the last time stamp it saw, which the X server
    // turns down after someone else moved the focus more recently; a window manager does not
    // have that problem.
    focusXWindow(static_cast<std::uint32_t>(window().winId()));
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window())) << "the window never got the keyboard focus";
    settle();
}

void focusXWindow(std::uint32_t window)
{
    xcb_connection_t* connection = xcb_connect(testDisplayName().c_str(), nullptr);
    EXPECT_EQ(xcb_connection_has_error(connection), 0);
    xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    // A round trip: the focus has moved once the answer comes.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_disconnect(connection);
}

void focusElsewhere()
{
    focusXWindow(XCB_INPUT_FOCUS_POINTER_ROOT);
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

std::vector<SceneText> sceneTexts(QQuickWindow& window)
{
    std::vector<SceneText> texts;
    visit(window.contentItem(), [&texts](QQuickItem* item) {
        const QString type = QString::fromLatin1(item->metaObject()->className());
        // Text, and the text-bearing inputs (which show a placeholder when empty).
        if (!type.startsWith(QLatin1String("QQuickText")))
            return;
        if (!item->isVisible())
            return;
        texts.push_back(SceneText{item->objectName(), item->property("text").toString(), qvariant_cast<QFont>(item->property("font"))});
        const QString placeholder = item->property("placeholderText").toString();
        if (!placeholder.isEmpty())
            texts.push_back(SceneText{item->objectName() + QStringLiteral(" placeholder"), placeholder, qvariant_cast<QFont>(item->property("font"))});
    });
    return texts;
}

}  // namespace kestrio::test
