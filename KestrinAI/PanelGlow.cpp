#include "PanelGlow.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>

PanelGlow::PanelGlow(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
}

template<typename T>
void PanelGlow::set(T &field, const T &value)
{
    if (field == value)
        return;
    field = value;
    update();
    emit changed();
}

void PanelGlow::setColor(const QColor &color) { set(m_color, color); }
void PanelGlow::setInset(qreal inset) { set(m_inset, inset); }
void PanelGlow::setRadius(qreal radius) { set(m_radius, radius); }
void PanelGlow::setBlur(qreal blur) { set(m_blur, blur); }

void PanelGlow::paint(QPainter *painter)
{
    const QSize size = QSizeF(width(), height()).toSize();
    if (size.isEmpty())
        return;
    QImage glow(size, QImage::Format_ARGB32_Premultiplied);
    glow.fill(Qt::transparent);
    const double sigma = std::max(0.5, m_blur / 2);
    const double halfWidth = width() / 2 - m_inset;
    const double halfHeight = height() / 2 - m_inset;
    const double corner = std::min({m_radius, halfWidth, halfHeight});
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(glow.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            // Distance from the pixel's centre to the panel's edge, negative inside.
            const double qx = std::abs(x + 0.5 - width() / 2) - (halfWidth - corner);
            const double qy = std::abs(y + 0.5 - height() / 2) - (halfHeight - corner);
            const double distance = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - corner;
            if (distance < -1)
                continue; // under the panel
            // A blurred edge: the share of a Gaussian beyond this distance.
            const double alpha = m_color.alphaF() * 0.5 * std::erfc(distance / (sigma * M_SQRT2));
            line[x] = qPremultiply(qRgba(m_color.red(), m_color.green(), m_color.blue(), int(std::lround(alpha * 255))));
        }
    }
    painter->drawImage(0, 0, glow);
}
