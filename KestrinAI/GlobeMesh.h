#pragma once

#include <QList>
#include <QVector2D>
#include <QVector3D>
#include <QtQml/qqmlregistration.h>
#include <QtQuick3D/QQuick3DGeometry>

/// The globe's surface: a unit sphere of 33 rows (north pole to south pole) of 65 vertices
/// (longitude -180 to +180: the first and last column meet so the texture wraps once). Each
/// vertex's normal is its position; its texture coordinate runs west to east and south to north.
/// Seen from outside the triangles wind clockwise: the globe is drawn double-sided.
class GlobeMesh : public QQuick3DGeometry
{
    Q_OBJECT
    QML_ELEMENT

public:
    struct Vertex
    {
        QVector3D position;
        QVector2D texCoord;
    };

    static constexpr int rows = 32;
    static constexpr int columns = 64;

    explicit GlobeMesh(QQuick3DObject *parent = nullptr);

    /// Row by row from the north pole, each row from west to east.
    static QList<Vertex> vertices();
    /// Two triangles per cell, three indices each.
    static QList<quint32> indices();
};
