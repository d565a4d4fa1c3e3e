#include "window/qr_image_provider.h"

#include <QUrl>

#include <qrencode.h>

#include <algorithm>
#include <memory>

namespace kestrio::window {

namespace {

constexpr int quietZone = 4;

// The QR code of `text`, encoded once, each module as many pixels square as `scaleFor` gives for
// the code's width in modules (quiet zone included).
template <typename ScaleFor>
QImage render(const QString& text, ScaleFor scaleFor)
{
    const QByteArray bytes = text.toUtf8();
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(QRcode_encodeString(bytes.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    if (!code)
        return {};
    const int modules = code->width + 2 * quietZone;
    const int scale = scaleFor(modules);
    if (scale < 1)
        return {};
    QImage image(modules * scale, modules * scale, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (!(code->data[y * code->width + x] & 1))
                continue;
            for (int row = 0; row < scale; ++row) {
                uchar* line = image.scanLine((y + quietZone) * scale + row);
                std::fill_n(line + (x + quietZone) * scale, scale, uchar(0));
            }
        }
    }
    return image;
}

}  // namespace

QImage qrCodeImage(const QString& text, int scale)
{
    return render(text, [scale](int) { return scale; });
}

QImage QrImageProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize)
{
    const QImage image = render(QUrl::fromPercentEncoding(id.toUtf8()), [&requestedSize](int modules) {
        const int wanted = requestedSize.width() > 0 ? requestedSize.width() : modules * 4;
        return std::max(1, wanted / modules);
    });
    if (size)
        *size = image.size();
    return image;
}

}  // namespace kestrio::window
