// window_animator: a full-screen window whose whole picture changes at a fixed rate, for comparing
// desktop backends on the same content: it runs as an ordinary client of any desktop Qt speaks
// to (QT_QPA_PLATFORM=xcb on an X server, wayland on a compositor), where stream_animator draws
// on an X root window only.
//
// Each frame shows a window of stream_animator's texture at an offset moving at constant speed, and the frame counter as stream_animator draws it (two rows
// of 16 blocks of 32x32 px at the top left, the low 16 bits and below them the same inverted).
// Prints "ready" once shown full screen; with --stop-after S it stops changing after S seconds.
//
// usage: window_animator [--rate HZ] [--stop-after SECONDS]
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QTimer>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "moving_texture.h"

#include <algorithm>

namespace {

using namespace animation;

// The shared texture as a picture Qt draws from.
QImage textureImage(int width, int height)
{
    const auto pixels = makeTexture(width, height);
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        std::transform(pixels.data() + static_cast<std::size_t>(y) * width, pixels.data() + static_cast<std::size_t>(y + 1) * width,
                       reinterpret_cast<std::uint32_t*>(image.scanLine(y)), [](std::uint32_t rgb) { return 0xff000000u | rgb; });
    return image;
}

class Animator : public QRasterWindow {
public:
    void step()
    {
        ++frame_;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (texture_.isNull() && width() > 0)
            texture_ = textureImage(width() + slackX, height() + slackY);
        QPainter painter(this);
        painter.drawImage(0, 0, texture_, bounce(frame_ * 3, slackX), bounce(frame_ * 2, slackY), width(), height());
        for (int bit = 0; bit < counterBits; ++bit) {
            const bool set = (frame_ >> bit) & 1;
            const int x = counterMargin + bit * blockSize;
            painter.fillRect(x, counterMargin, blockSize, blockSize, set ? Qt::white : Qt::black);
            painter.fillRect(x, counterMargin + blockSize, blockSize, blockSize, set ? Qt::black : Qt::white);
        }
        if (!ready_ && size() == screen()->size()) {
            ready_ = true;
            std::puts("ready");
            std::fflush(stdout);
        }
    }

private:
    bool ready_ = false;
    int frame_ = 0;
    QImage texture_;
};

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
    QGuiApplication application(argc, argv);
    int rate = 60;
    double stopAfter = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            rate = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--stop-after") == 0 && i + 1 < argc)
            stopAfter = std::atof(argv[++i]);
    }
    Animator window;
    // Where no window manager makes it full screen (a bare X server), the geometry does.
    window.setGeometry(window.screen()->geometry());
    window.showFullScreen();
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &window, &Animator::step);
    timer.start(1000 / std::max(1, rate));
    if (stopAfter >= 0)
        QTimer::singleShot(static_cast<int>(stopAfter * 1000), &timer, &QTimer::stop);
    return application.exec();
}
