#pragma once

#include <QColor>
#include <QEasingCurve>
#include <QObject>
#include <QtQml/qqmlregistration.h>

/// The one palette of the program: colours, sizes and the spring that moves the panel. The
/// interface is dark: light text on near-black, one accent colour per agent. Every member is
/// constant; C++ reads the static functions, QML the singleton's properties of the same names.
class Theme : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QColor ink READ ink CONSTANT)
    Q_PROPERTY(QColor panel READ panel CONSTANT)
    Q_PROPERTY(QColor panelRaised READ panelRaised CONSTANT)
    Q_PROPERTY(QColor panelHover READ panelHover CONSTANT)
    Q_PROPERTY(QColor stroke READ stroke CONSTANT)
    Q_PROPERTY(QColor strokeStrong READ strokeStrong CONSTANT)
    Q_PROPERTY(QColor textPrimary READ textPrimary CONSTANT)
    Q_PROPERTY(QColor textSecondary READ textSecondary CONSTANT)
    Q_PROPERTY(QColor textTertiary READ textTertiary CONSTANT)
    Q_PROPERTY(QColor oryn READ oryn CONSTANT)
    Q_PROPERTY(QColor kestrin READ kestrin CONSTANT)
    Q_PROPERTY(QColor tarvik READ tarvik CONSTANT)
    Q_PROPERTY(QColor brand READ brand CONSTANT)
    Q_PROPERTY(QColor ok READ ok CONSTANT)
    Q_PROPERTY(QColor warn READ warn CONSTANT)
    Q_PROPERTY(QColor bad READ bad CONSTANT)
    Q_PROPERTY(int bulgeWidth READ bulgeWidth CONSTANT)
    Q_PROPERTY(int panelWidth READ panelWidth CONSTANT)
    Q_PROPERTY(int panelHeight READ panelHeight CONSTANT)
    Q_PROPERTY(int panelCorner READ panelCorner CONSTANT)
    Q_PROPERTY(double springMass READ springMass CONSTANT)
    Q_PROPERTY(double springStiffness READ springStiffness CONSTANT)
    Q_PROPERTY(double springDamping READ springDamping CONSTANT)
    Q_PROPERTY(double springInitialVelocity READ springInitialVelocity CONSTANT)
    Q_PROPERTY(QEasingCurve spring READ spring CONSTANT)
    Q_PROPERTY(int springDuration READ springDuration CONSTANT)

public:
    using QObject::QObject;

    /// A colour from 0xRRGGBB (red in the high byte) and an opacity in 0...1.
    static QColor color(quint32 rgb, double opacity = 1.0);

    static QColor ink() { return color(0x0A0B0F); }           // darkest background
    static QColor panel() { return color(0x0F1116); }         // dark surfaces
    static QColor panelRaised() { return color(0x171A22); }   // input box, suggestions
    static QColor panelHover() { return color(0x1F232D); }    // hovered icon buttons
    static QColor stroke() { return color(0xFFFFFF, 0.07); }  // hairlines
    static QColor strokeStrong() { return color(0xFFFFFF, 0.14); } // panel border
    static QColor textPrimary() { return color(0xECEEF4); }
    static QColor textSecondary() { return color(0x8E94A6); }
    static QColor textTertiary() { return color(0x5D6475); }  // hints
    static QColor oryn() { return color(0x7AA2FF); }          // text agent
    static QColor kestrin() { return color(0xFFB070); }       // vision agent
    static QColor tarvik() { return color(0xB49BFF); }        // voice persona
    static QColor brand() { return oryn(); }
    static QColor ok() { return color(0x4ADE80); }
    static QColor warn() { return color(0xFBBF24); }
    static QColor bad() { return color(0xF87171); }           // recording, errors

    // Sizes in device-independent pixels.
    static constexpr int bulgeWidth() { return 16; }  // the collapsed panel's handle strip
    static constexpr int panelWidth() { return 420; } // the expanded panel's body
    static constexpr int panelHeight() { return 700; }
    static constexpr int panelCorner() { return 20; } // radius of the left corners

    // The spring of the panel and of the agent switcher: a damped harmonic oscillator
    // (slightly under-damped: ratio 28 / (2 * sqrt(320)) = 0.78).
    static constexpr double springMass() { return 1.0; }
    static constexpr double springStiffness() { return 320.0; }
    static constexpr double springDamping() { return 28.0; }
    static constexpr double springInitialVelocity() { return 0.0; }
    /// The spring as an easing curve over springDuration: the oscillator's step response, so an
    /// animation with it moves as the spring would (2 % overshoot, settled well within the time).
    static QEasingCurve spring();
    static constexpr int springDuration() { return 500; } // ms; 0.1 % of the way is left then
};
