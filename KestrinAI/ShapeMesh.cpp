#include "ShapeMesh.h"

#include <QByteArray>
#include <QList>
#include <QVector3D>
#include <QtMath>

namespace {

struct Vertex
{
    QVector3D position;
    QVector3D normal;
};

/// A point at @p angle (radians) around the y axis, eastwards like the globe's longitudes.
QVector3D around(double angle, double radius, double y)
{
    return QVector3D(float(radius * std::cos(angle)), float(y), float(-radius * std::sin(angle)));
}

/// Triangles over a grid of rows x columns cells, (columns + 1) vertices a row. Rows run
/// downwards or inwards, columns eastwards, so these wind anticlockwise seen from outside.
void addGrid(QList<quint32> &indices, int rows, int columns)
{
    const quint32 stride = quint32(columns) + 1;
    for (quint32 row = 0; row < quint32(rows); ++row) {
        for (quint32 column = 0; column < quint32(columns); ++column) {
            const quint32 k = row * stride + column;
            indices << k << k + stride << k + 1;
            indices << k + 1 << k + stride << k + stride + 1;
        }
    }
}

} // namespace

ShapeMesh::ShapeMesh(QQuick3DObject *parent)
    : QQuick3DGeometry(parent)
{
    rebuild();
}

void ShapeMesh::setShape(Shape shape)
{
    if (shape == m_shape)
        return;
    m_shape = shape;
    rebuild();
    emit shapeChanged();
}

void ShapeMesh::setSegments(int segments)
{
    segments = qMax(4, segments & ~1);
    if (segments == m_segments)
        return;
    m_segments = segments;
    rebuild();
    emit segmentsChanged();
}

void ShapeMesh::rebuild()
{
    QList<Vertex> vertices;
    QList<quint32> indices;
    const int columns = m_segments;
    if (m_shape == Sphere) {
        const int rows = columns / 2;
        for (int i = 0; i <= rows; ++i) {
            const double latitude = M_PI / 2 - M_PI * i / rows;
            for (int j = 0; j <= columns; ++j) {
                const QVector3D p = around(2 * M_PI * j / columns, std::cos(latitude), std::sin(latitude));
                vertices.append({p, p});
            }
        }
        addGrid(indices, rows, columns);
    } else if (m_shape == Needle) {
        // The wide end at the top; the side's normal tilts up since the cone narrows downwards.
        const float slope = (needleTopWidth - needleTipWidth) / 2 / needleHeight;
        for (const auto &[y, width] : {std::pair{needleHeight / 2, needleTopWidth}, std::pair{-needleHeight / 2, needleTipWidth}}) {
            for (int j = 0; j <= columns; ++j) {
                const double angle = 2 * M_PI * j / columns;
                vertices.append({around(angle, width / 2, y), (around(angle, 1, 0) + QVector3D(0, -slope, 0)).normalized()});
            }
        }
        addGrid(indices, 1, columns);
    } else {
        constexpr int aroundPipe = 8;
        for (int i = 0; i <= columns; ++i) {
            const double angle = 2 * M_PI * i / columns;
            const QVector3D centre = around(angle, ringRadius, 0);
            for (int j = 0; j <= aroundPipe; ++j) {
                // From the top of the pipe outwards and round.
                const double pipeAngle = M_PI / 2 - 2 * M_PI * j / aroundPipe;
                const QVector3D normal = around(angle, std::cos(pipeAngle), std::sin(pipeAngle));
                vertices.append({centre + normal * ringPipeRadius, normal});
            }
        }
        addGrid(indices, columns, aroundPipe);
        // The grid runs round the ring, then round the pipe: swap each triangle's winding.
        for (qsizetype i = 0; i < indices.size(); i += 3)
            std::swap(indices[i + 1], indices[i + 2]);
    }

    const float extent = m_shape == Sphere ? 1.0f : m_shape == Needle ? needleTopWidth : ringRadius + ringPipeRadius;
    clear();
    setStride(sizeof(Vertex));
    setPrimitiveType(PrimitiveType::Triangles);
    setBounds(QVector3D(-extent, -extent, -extent), QVector3D(extent, extent, extent));
    addAttribute(Attribute::PositionSemantic, 0, Attribute::F32Type);
    addAttribute(Attribute::NormalSemantic, sizeof(QVector3D), Attribute::F32Type);
    addAttribute(Attribute::IndexSemantic, 0, Attribute::U32Type);
    setVertexData(QByteArray(reinterpret_cast<const char *>(vertices.constData()), vertices.size() * qsizetype(sizeof(Vertex))));
    setIndexData(QByteArray(reinterpret_cast<const char *>(indices.constData()), indices.size() * qsizetype(sizeof(quint32))));
    update();
}
