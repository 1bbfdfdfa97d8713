#include "Theme.h"

QColor Theme::color(quint32 rgb, double opacity)
{
    QColor c = QColor::fromRgb((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
    c.setAlphaF(float(qBound(0.0, opacity, 1.0)));
    return c;
}
