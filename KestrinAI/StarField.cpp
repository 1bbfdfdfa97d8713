#include "StarField.h"

#include "GlobeTextures.h"

#include <QBrush>
#include <QPainter>
#include <QPainterPath>

StarField::StarField(QQuickItem *parent)
    : QQuickPaintedItem(parent)
    , m_sky(GlobeTextures::starField())
{
    setAntialiasing(true);
}

void StarField::setRadius(qreal radius)
{
    if (qFuzzyCompare(radius, m_radius))
        return;
    m_radius = radius;
    update();
    emit radiusChanged();
}

void StarField::paint(QPainter *painter)
{
    const QRectF area(0, 0, width(), height());
    QPainterPath shape;
    shape.addRoundedRect(area, m_radius, m_radius);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    // Cover the item, keeping the stars round.
    const double scale = std::max(area.width() / m_sky.width(), area.height() / m_sky.height());
    const QSizeF covered(m_sky.width() * scale, m_sky.height() * scale);
    const QRectF target(area.center() - QPointF(covered.width() / 2, covered.height() / 2), covered);
    // Filled rather than clipped: a clip path has no antialiasing.
    QBrush sky(m_sky);
    sky.setTransform(QTransform::fromTranslate(target.x(), target.y()).scale(scale, scale));
    painter->fillPath(shape, sky);
}
