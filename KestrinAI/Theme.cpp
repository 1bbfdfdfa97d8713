#include "Theme.h"

#include <cmath>

namespace {

// The step response of the damped oscillator at progress t of springDuration.
qreal springProgress(qreal t)
{
    if (t >= 1.0)
        return 1.0;
    const double omega0 = std::sqrt(Theme::springStiffness() / Theme::springMass());
    const double zeta = Theme::springDamping() / (2.0 * std::sqrt(Theme::springStiffness() * Theme::springMass()));
    const double omegaD = omega0 * std::sqrt(1.0 - zeta * zeta);
    const double seconds = t * Theme::springDuration() / 1000.0;
    return 1.0 - std::exp(-zeta * omega0 * seconds) * (std::cos(omegaD * seconds) + zeta * omega0 / omegaD * std::sin(omegaD * seconds));
}

} // namespace

QEasingCurve Theme::spring()
{
    QEasingCurve curve;
    curve.setCustomType(springProgress);
    return curve;
}

QColor Theme::color(quint32 rgb, double opacity)
{
    QColor c = QColor::fromRgb((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
    c.setAlphaF(float(qBound(0.0, opacity, 1.0)));
    return c;
}
