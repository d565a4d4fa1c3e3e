// A full-screen window that prints the input it receives, one line each, for tests that post
// input through a compositor and need to see where and what arrived:
//   ready WIDTH HEIGHT            shown full screen and focused
//   move X Y                      the pointer moved to a point of the window
//   press|release X Y left|right  a button, at a point of the window
//   wheel DX DY                   wheel clicks (positive: up, left)
//   scroll DX DY                  a smooth scroll, in pixels (positive: up, left)
//   text TEXT                     what a key typed (\n: Return, \b: Backspace)
//   paste TEXT                    the clipboard's text, when the paste shortcut was pressed
//   control LETTER                another letter typed with Control held
// Usage: kestrio-input-observer [WIDTHxHEIGHT]   (the screen of that size; default the primary)
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QWheelEvent>

#include <QTimer>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class Observer : public QRasterWindow {
public:
    Observer()
    {
        // Looked at again until ready: a compositor's change of the window's state alone
        // brings no event.
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] { reportReady(); });
        timer->start(200);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(QRect(QPoint(0, 0), size()), QColor(40, 90, 160)); }
    void exposeEvent(QExposeEvent* event) override
    {
        QRasterWindow::exposeEvent(event);
        reportReady();
    }
    void focusInEvent(QFocusEvent*) override { reportReady(); }
    void resizeEvent(QResizeEvent*) override { reportReady(); }
    void mousePressEvent(QMouseEvent* event) override { button("press", event); }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        say(QStringLiteral("move %1 %2").arg(event->position().toPoint().x()).arg(event->position().toPoint().y()));
    }
    void mouseReleaseEvent(QMouseEvent* event) override { button("release", event); }
    void wheelEvent(QWheelEvent* event) override
    {
        if (!event->pixelDelta().isNull())
            say(QStringLiteral("scroll %1 %2").arg(event->pixelDelta().x()).arg(event->pixelDelta().y()));
        else if (!event->angleDelta().isNull())
            say(QStringLiteral("wheel %1 %2").arg(event->angleDelta().x() / 120).arg(event->angleDelta().y() / 120));
    }
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->matches(QKeySequence::Paste))
            say("paste " + QGuiApplication::clipboard()->text());
        else if ((event->modifiers() & Qt::ControlModifier) && event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z)
            say(QStringLiteral("control %1").arg(QChar('a' + (event->key() - Qt::Key_A))));
        else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            say("text \\n");
        else if (event->key() == Qt::Key_Backspace)
            say("text \\b");
        else if (!event->text().isEmpty() && QChar::isPrint(event->text().toUcs4().front()))  // a whole code point: emoji too
            say("text " + event->text());
    }

private:
    void button(const char* what, QMouseEvent* event)
    {
        const auto at = event->position().toPoint();
        say(QStringLiteral("%1 %2 %3 %4").arg(what).arg(at.x()).arg(at.y()).arg(event->button() == Qt::RightButton ? "right" : "left"));
    }
    void reportReady()
    {
        if (ready_ || !isExposed() || !isActive())
            return;
        // A compositor may take full screen back while it places the window: asked for again.
        if (!(windowStates() & Qt::WindowFullScreen)) {
            showFullScreen();
            return;
        }
        if (size() != screen()->size())
            return;
        ready_ = true;
        say(QStringLiteral("ready %1 %2").arg(width()).arg(height()));
    }
    bool ready_ = false;
};

}  // namespace

int main(int argc, char** argv)
{
    // Nothing of ours drawn around the window: a point of the window is a point of the screen.
    qputenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
    QGuiApplication application(argc, argv);
    Observer window;
    if (argc > 1) {
        for (QScreen* screen : QGuiApplication::screens()) {
            const auto size = screen->size();
            if (QStringLiteral("%1x%2").arg(size.width()).arg(size.height()) == QString::fromUtf8(argv[1])) {
                window.setScreen(screen);
                window.setGeometry(screen->geometry());
            }
        }
    }
    window.showFullScreen();
    window.requestActivate();
    return application.exec();
}
