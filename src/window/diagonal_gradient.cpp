#include "window/diagonal_gradient.h"

#include <QLinearGradient>
#include <QPainter>

namespace kestrio::window {

DiagonalGradient::DiagonalGradient(QQuickItem* parent) : QQuickPaintedItem(parent)
{
    setOpaquePainting(true);
}

void DiagonalGradient::setFrom(const QColor& color)
{
    if (color == from_)
        return;
    from_ = color;
    emit colorsChanged();
    update();
}

void DiagonalGradient::setTo(const QColor& color)
{
    if (color == to_)
        return;
    to_ = color;
    emit colorsChanged();
    update();
}

void DiagonalGradient::paint(QPainter* painter)
{
    // Drawn in a unit square stretched to the item, so that the colour bands run parallel to the
    // other diagonal, as a gradient between two corners does.
    const QRectF area = boundingRect();
    if (area.isEmpty())
        return;
    QLinearGradient gradient(0, 0, 1, 1);
    gradient.setColorAt(0, from_);
    gradient.setColorAt(1, to_);
    painter->save();
    painter->scale(area.width(), area.height());
    painter->fillRect(QRectF(0, 0, 1, 1), gradient);
    painter->restore();
}

}  // namespace kestrio::window
