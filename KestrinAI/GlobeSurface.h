#pragma once

#include <QFuture>
#include <QImage>
#include <QtQml/qqmlregistration.h>
#include <QtQuick3D/QQuick3DTextureData>

#include <functional>

/// The picture on the globe's surface: the grid, then the recoloured earth picture once it is
/// loaded (black for the first few frames). Both are made once a process, on the thread pool,
/// and shared by every globe.
class GlobeSurface : public QQuick3DTextureData
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool showsEarth READ showsEarth NOTIFY showsEarthChanged)

public:
    explicit GlobeSurface(QQuick3DObject *parent = nullptr);

    bool showsEarth() const { return m_showsEarth; }

signals:
    void showsEarthChanged();

private:
    void whenReady(const QFuture<QImage> &picture, std::function<void(const QImage &)> use);
    void show(const QImage &picture);

    bool m_showsEarth = false;
};
