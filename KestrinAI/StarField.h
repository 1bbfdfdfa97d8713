#pragma once

#include <QImage>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

/// The sky behind the globe: a star field drawn once when the item is made, scaled to cover the
/// item and cut to its rounded corners (the globe's panel has no other clipping).
class StarField : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)

public:
    explicit StarField(QQuickItem *parent = nullptr);

    qreal radius() const { return m_radius; }
    void setRadius(qreal radius);

    void paint(QPainter *painter) override;

signals:
    void radiusChanged();

private:
    QImage m_sky;
    qreal m_radius = 0;
};
