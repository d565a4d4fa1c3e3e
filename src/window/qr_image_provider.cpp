#include "window/qr_image_provider.h"

#include <QUrl>

#include <qrencode.h>

#include <memory>

namespace kestrio::window {

namespace {

constexpr int quietZone = 4;

}  // namespace

QImage qrCodeImage(const QString& text, int scale)
{
    const QByteArray bytes = text.toUtf8();
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(QRcode_encodeString(bytes.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    if (!code || scale < 1)
        return {};
    const int modules = code->width + 2 * quietZone;
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

QImage QrImageProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize)
{
    const QString text = QUrl::fromPercentEncoding(id.toUtf8());
    const QImage unit = qrCodeImage(text, 1);
    if (unit.isNull())
        return {};
    const int wanted = requestedSize.width() > 0 ? requestedSize.width() : unit.width() * 4;
    const QImage image = qrCodeImage(text, std::max(1, wanted / unit.width()));
    if (size)
        *size = image.size();
    return image;
}

}  // namespace kestrio::window
