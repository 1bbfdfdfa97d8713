#include "GlobeMesh.h"

#include "GlobeMath.h"

#include <QByteArray>

GlobeMesh::GlobeMesh(QQuick3DObject *parent)
    : QQuick3DGeometry(parent)
{
    const QList<Vertex> points = vertices();
    QByteArray vertexData(points.size() * 8 * qsizetype(sizeof(float)), Qt::Uninitialized);
    float *out = reinterpret_cast<float *>(vertexData.data());
    for (const Vertex &vertex : points) {
        const QVector3D &p = vertex.position;
        *out++ = p.x(); *out++ = p.y(); *out++ = p.z();
        *out++ = p.x(); *out++ = p.y(); *out++ = p.z(); // the normal of a unit sphere
        *out++ = vertex.texCoord.x(); *out++ = vertex.texCoord.y();
    }
    const QList<quint32> triangles = indices();

    setStride(8 * sizeof(float));
    setPrimitiveType(PrimitiveType::Triangles);
    setBounds(QVector3D(-1, -1, -1), QVector3D(1, 1, 1));
    addAttribute(Attribute::PositionSemantic, 0, Attribute::F32Type);
    addAttribute(Attribute::NormalSemantic, 3 * sizeof(float), Attribute::F32Type);
    addAttribute(Attribute::TexCoord0Semantic, 6 * sizeof(float), Attribute::F32Type);
    addAttribute(Attribute::IndexSemantic, 0, Attribute::U32Type);
    setVertexData(vertexData);
    setIndexData(QByteArray(reinterpret_cast<const char *>(triangles.constData()),
                            triangles.size() * qsizetype(sizeof(quint32))));
}

QList<GlobeMesh::Vertex> GlobeMesh::vertices()
{
    QList<Vertex> result;
    result.reserve((rows + 1) * (columns + 1));
    for (int i = 0; i <= rows; ++i) {
        const double latitude = (0.5 - double(i) / rows) * 180.0;
        for (int j = 0; j <= columns; ++j) {
            const double longitude = (2.0 * j / columns - 1.0) * 180.0;
            result.append({GlobeMath::position(latitude, longitude),
                           QVector2D(float(j) / columns, 1.0f - float(i) / rows)});
        }
    }
    return result;
}

QList<quint32> GlobeMesh::indices()
{
    constexpr quint32 stride = columns + 1;
    QList<quint32> result;
    result.reserve(rows * columns * 6);
    for (quint32 row = 1; row <= quint32(rows); ++row) {
        for (quint32 column = 0; column < quint32(columns); ++column) {
            const quint32 k = row * stride + column;
            result << k - stride << k - columns << k;
            result << k - columns << k + 1 << k;
        }
    }
    return result;
}
