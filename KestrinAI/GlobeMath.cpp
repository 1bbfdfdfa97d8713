#include "GlobeMath.h"

#include <QtMath>

#include <algorithm>

QVector3D GlobeMath::position(double latitude, double longitude)
{
    const double phi = qDegreesToRadians(latitude);
    const double lambda = qDegreesToRadians(longitude);
    return QVector3D(float(std::cos(phi) * std::cos(lambda)), float(std::sin(phi)),
                     float(-std::cos(phi) * std::sin(lambda)));
}

QQuaternion GlobeMath::facing(double latitude, double longitude)
{
    // Turned about the poles' axis, then tipped towards the viewer, so north stays up; the
    // shortest turn would leave places off the equator leaning sideways.
    const QQuaternion spin = QQuaternion::fromAxisAndAngle(QVector3D(0, 1, 0), float(-(90.0 + longitude)));
    const QQuaternion tip = QQuaternion::fromAxisAndAngle(QVector3D(1, 0, 0), float(latitude));
    return tip * spin;
}

QQuaternion GlobeMath::pinOrientation(double latitude, double longitude)
{
    return QQuaternion::rotationTo(QVector3D(0, 1, 0), position(latitude, longitude));
}

QQuaternion GlobeMath::dragged(const QQuaternion &orientation, double dx, double dy)
{
    // Turned about the scene's axes, not the globe's: whatever the globe's orientation, a
    // sideways drag spins it about the screen's vertical.
    const auto turn = [](double points, const QVector3D &axis) {
        return QQuaternion::fromAxisAndAngle(axis, float(qRadiansToDegrees(points * dragRadiansPerPoint)));
    };
    return (turn(dx, QVector3D(0, 1, 0)) * turn(dy, QVector3D(1, 0, 0)) * orientation).normalized();
}

double GlobeMath::zoomed(double distance, double delta)
{
    return std::clamp(distance + delta * zoomPerStep, nearestDistance, farthestDistance);
}
