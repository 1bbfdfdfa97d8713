#include "GlobeSurface.h"

#include "GlobeTextures.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QImage>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// Both pictures take longer than a frame to make: they are made on the pool, once a process.
QFuture<QImage> sharedGrid()
{
    static const QFuture<QImage> grid = QtConcurrent::run(&GlobeTextures::grid);
    return grid;
}

QFuture<QImage> sharedEarth()
{
    static const QFuture<QImage> earth = QtConcurrent::run([] {
        return GlobeTextures::loadEarth(GlobeTextures::earthCandidates());
    });
    return earth;
}

} // namespace

GlobeSurface::GlobeSurface(QQuick3DObject *parent)
    : QQuick3DTextureData(parent)
{
    setFormat(RGBA8);
    QImage dark(1, 1, QImage::Format_RGBA8888); // for the few frames until the grid is drawn
    dark.fill(Qt::black);
    show(dark);
    whenReady(sharedGrid(), [this](const QImage &grid) {
        if (!m_showsEarth)
            show(grid);
    });
    whenReady(sharedEarth(), [this](const QImage &earth) {
        if (earth.isNull())
            return; // not found: the grid stays
        show(earth);
        m_showsEarth = true;
        emit showsEarthChanged();
    });
}

void GlobeSurface::whenReady(const QFuture<QImage> &picture, std::function<void(const QImage &)> use)
{
    // On this object's thread, and never after it is gone.
    auto *watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [watcher, use = std::move(use)] {
        use(watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(picture);
}

void GlobeSurface::show(const QImage &picture)
{
    // Every picture is RGBA8888 with north in the first row.
    setSize(picture.size());
    setTextureData(QByteArray(reinterpret_cast<const char *>(picture.constBits()), picture.sizeInBytes()));
}
