#pragma once

#include <QColor>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

/// A soft glow around a rounded panel, like the blurred shadow of the panel's shape in a bright
/// colour: it fades outwards over about three times @c blur / 2. Painted once for each size;
/// the panel itself, inset by @c inset from this item's edges, is left clear.
class PanelGlow : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    /// Its opacity is the glow's next to the panel, fading to half of that at the edge.
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY changed)
    Q_PROPERTY(qreal inset READ inset WRITE setInset NOTIFY changed)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY changed)
    /// The blur's radius: twice the standard deviation of its Gaussian.
    Q_PROPERTY(qreal blur READ blur WRITE setBlur NOTIFY changed)

public:
    explicit PanelGlow(QQuickItem *parent = nullptr);

    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    qreal inset() const { return m_inset; }
    void setInset(qreal inset);
    qreal radius() const { return m_radius; }
    void setRadius(qreal radius);
    qreal blur() const { return m_blur; }
    void setBlur(qreal blur);

    void paint(QPainter *painter) override;

signals:
    void changed();

private:
    template<typename T>
    void set(T &field, const T &value);

    QColor m_color = Qt::cyan;
    qreal m_inset = 0;
    qreal m_radius = 0;
    qreal m_blur = 0;
};
