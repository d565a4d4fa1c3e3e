// window_animator: a full-screen window whose whole picture changes at a fixed rate, for comparing
// desktop backends on the same content: it runs as an ordinary client of any desktop Qt speaks
// to (QT_QPA_PLATFORM=xcb on an X server, wayland on a compositor), where stream_animator draws
// on an X root window only.
//
// Each frame shows a window of a larger texture (smooth ramps, flat rectangles, grain) at an
// offset moving at constant speed, and the frame counter as stream_animator draws it (two rows
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

namespace {

constexpr int blockSize = 32;
constexpr int counterBits = 16;
constexpr int counterMargin = 16;
constexpr int slackX = 512;
constexpr int slackY = 256;

std::uint32_t hash(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

QImage makeTexture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const auto r = static_cast<std::uint32_t>(128 + 127 * std::sin(x * 0.004 + y * 0.002));
            const auto g = static_cast<std::uint32_t>(128 + 127 * std::sin(y * 0.006 + 1.0));
            const auto b = static_cast<std::uint32_t>(128 + 127 * std::sin((x + y) * 0.003 + 2.0));
            row[x] = 0xff000000u | (r << 16) | (g << 8) | b;
        }
    }
    QPainter painter(&image);
    for (std::uint32_t i = 0; i < 1500; ++i) {
        const int w = 8 + static_cast<int>(hash(i * 4 + 0) % 220);
        const int h = 6 + static_cast<int>(hash(i * 4 + 1) % 120);
        const int x0 = static_cast<int>(hash(i * 4 + 2) % static_cast<std::uint32_t>(width - w));
        const int y0 = static_cast<int>(hash(i * 4 + 3) % static_cast<std::uint32_t>(height - h));
        painter.fillRect(x0, y0, w, h, QColor::fromRgb(hash(i + 99991) & 0xffffff));
    }
    painter.end();
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] ^= hash(static_cast<std::uint32_t>(y * width + x)) & 0x0f0f0f;
    }
    return image;
}

int bounce(int position, int limit)
{
    const int phase = position % (2 * limit);
    return phase <= limit ? phase : 2 * limit - phase;
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
            texture_ = makeTexture(width() + slackX, height() + slackY);
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
