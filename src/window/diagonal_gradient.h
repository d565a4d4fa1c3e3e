#pragma once

#include <QColor>
#include <QQuickPaintedItem>

namespace kestrio::window {

// A linear gradient from the top-left corner to the bottom-right one, whatever the item's
// proportions (Qt Quick's own gradients run only vertically or horizontally).
class DiagonalGradient : public QQuickPaintedItem {
    Q_OBJECT
    Q_PROPERTY(QColor from READ from WRITE setFrom NOTIFY colorsChanged)
    Q_PROPERTY(QColor to READ to WRITE setTo NOTIFY colorsChanged)

public:
    explicit DiagonalGradient(QQuickItem* parent = nullptr);

    QColor from() const { return from_; }
    QColor to() const { return to_; }
    void setFrom(const QColor& color);
    void setTo(const QColor& color);

    void paint(QPainter* painter) override;

signals:
    void colorsChanged();

private:
    QColor from_;
    QColor to_;
};

}  // namespace kestrio::window
