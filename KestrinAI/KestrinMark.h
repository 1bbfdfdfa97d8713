#pragma once

#include <QColor>
#include <QList>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

/// The brand mark as a view: the pixel grid of AppLogo centred in the item, shaded by one
/// diagonal gradient through colors (default: Oryn's then Tarvik's accent).
class KestrinMark : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QList<QColor> colors READ colors WRITE setColors NOTIFY colorsChanged)

public:
    explicit KestrinMark(QQuickItem *parent = nullptr);

    QList<QColor> colors() const { return m_colors; }
    void setColors(const QList<QColor> &colors);

    void paint(QPainter *painter) override;

signals:
    void colorsChanged();

private:
    QList<QColor> m_colors;
};
