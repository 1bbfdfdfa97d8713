#pragma once

#include <QObject>
#include <QQuaternion>
#include <QVector3D>
#include <QtQml/qqmlregistration.h>

/// The globe's sphere math, shared by the mesh, the pin and the view's gestures. A unit sphere
/// with y towards the north pole, longitude 0 on +x and longitude +90 on -z; the camera looks
/// down -z from +z. Every function is pure; QML calls the same functions on the singleton.
class GlobeMath : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(double startDistance READ startDistance CONSTANT)

public:
    using QObject::QObject;

    static constexpr double startDistance() { return 3.4; }
    static constexpr double nearestDistance = 1.35;
    static constexpr double farthestDistance = 6.0;
    static constexpr double zoomPerStep = 0.01;
    static constexpr double dragRadiansPerPoint = 0.004;

    /// The unit vector of a place, latitude and longitude in degrees.
    Q_INVOKABLE static QVector3D position(double latitude, double longitude);
    /// The globe orientation that carries the place onto +z, the direction of the camera, with
    /// north up the screen.
    Q_INVOKABLE static QQuaternion facing(double latitude, double longitude);
    /// The pin's orientation at a place: its +y along the surface normal.
    Q_INVOKABLE static QQuaternion pinOrientation(double latitude, double longitude);
    /// @p orientation after a drag of (dx, dy) points: about the screen's vertical axis for dx
    /// and its horizontal axis for dy, so the surface under the pointer follows it.
    Q_INVOKABLE static QQuaternion dragged(const QQuaternion &orientation, double dx, double dy);
    /// The camera distance after a zoom of @p delta (scroll points; a pinch's magnification
    /// times -80), kept between 1.35 and 6.0.
    Q_INVOKABLE static double zoomed(double distance, double delta);
};
