#pragma once

#include <QImage>
#include <QQuickImageProvider>
#include <QString>

namespace kestrio::window {

// The QR code of `text`, black modules on white with the four-module quiet zone around them, each
// module `scale` pixels square; a null image when the text does not fit in a QR code.
QImage qrCodeImage(const QString& text, int scale);

// "image://qr/TEXT" (TEXT percent-encoded, as encodeURIComponent gives it) for QML: the QR code of
// TEXT, as large as asked for in whole modules.
class QrImageProvider final : public QQuickImageProvider {
public:
    QrImageProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

}  // namespace kestrio::window
