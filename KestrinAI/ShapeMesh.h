#pragma once

#include <QtQml/qqmlregistration.h>
#include <QtQuick3D/QQuick3DGeometry>

/// The globe's other shapes, centred on the origin, with normals and outward-facing triangles:
/// - Sphere: of radius 1, in @c segments columns and half as many rows; laid just over the
///   globe it must be this fine (48 segments), else its flat facets sink below the globe's;
/// - Needle: the pin's cone, 0.05 wide at the top, 0.002 at the tip and 0.095 high, along y;
/// - Ring: the pin's torus in the xz plane, ring radius 0.065 and pipe radius 0.003.
/// Qt Quick 3D has no torus or pointed cone, and its sphere is too coarse for the shading.
class ShapeMesh : public QQuick3DGeometry
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(Shape shape READ shape WRITE setShape NOTIFY shapeChanged)
    Q_PROPERTY(int segments READ segments WRITE setSegments NOTIFY segmentsChanged)

public:
    enum Shape { Sphere, Needle, Ring };
    Q_ENUM(Shape)

    static constexpr float needleTopWidth = 0.05f;
    static constexpr float needleTipWidth = 0.002f;
    static constexpr float needleHeight = 0.095f;
    static constexpr float ringRadius = 0.065f;
    static constexpr float ringPipeRadius = 0.003f;

    explicit ShapeMesh(QQuick3DObject *parent = nullptr);

    Shape shape() const { return m_shape; }
    void setShape(Shape shape);
    int segments() const { return m_segments; }
    /// Even, at least 4.
    void setSegments(int segments);

signals:
    void shapeChanged();
    void segmentsChanged();

private:
    void rebuild();

    Shape m_shape = Sphere;
    int m_segments = 48;
};
