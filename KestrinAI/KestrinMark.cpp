#include "KestrinMark.h"

#include "AppLogo.h"

KestrinMark::KestrinMark(QQuickItem *parent) : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

void KestrinMark::setColors(const QList<QColor> &colors)
{
    if (colors == m_colors)
        return;
    m_colors = colors;
    update();
    emit colorsChanged();
}

void KestrinMark::paint(QPainter *painter)
{
    AppLogo::drawMark(*painter, QRectF(0, 0, width(), height()), m_colors);
}
