#include "AppLogo.h"

#include "Theme.h"

#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <vector>

namespace AppLogo {

const QStringList &markGrid()
{
    static const QStringList grid = {
        QStringLiteral("........................"), QStringLiteral("........................"),
        QStringLiteral("........................"), QStringLiteral("........................"),
        QStringLiteral(".................XXXXX.."), QStringLiteral(".................XXXXXX."),
        QStringLiteral("................XXXXXXX."), QStringLiteral("................XXXXXXXX"),
        QStringLiteral("..XX.....XXXXXX.XXXXXXXX"), QStringLiteral("..XXXX..XXXXXXXXXXXXX.XX"),
        QStringLiteral("...XXXXXXXXXXXXXX......."), QStringLiteral(".....XXXXXXXXXXXX......."),
        QStringLiteral(".......XXXXXXXXXX......."), QStringLiteral(".......XXXXXXXXXX......."),
        QStringLiteral("........XXXXXXXXX......."), QStringLiteral(".........XXXXXXXX......."),
        QStringLiteral(".........XXX..XXX......."), QStringLiteral(".........XXX..XXX......."),
        QStringLiteral(".........XXX..XXX......."), QStringLiteral(".........XX....XX......."),
    };
    return grid;
}

MarkLayout markLayout(const QRectF &rect)
{
    const int columns = int(markGrid().first().size());
    const int rows = int(markGrid().size());
    const double cell = std::min(rect.width() / columns, rect.height() / rows);
    return {cell, QPointF(rect.x() + (rect.width() - columns * cell) * 0.5,
                          rect.y() + (rect.height() - rows * cell) * 0.5)};
}

void drawMark(QPainter &painter, const QRectF &rect, const QList<QColor> &colors)
{
    const QList<QColor> stops = colors.isEmpty() ? QList<QColor>{Theme::oryn(), Theme::tarvik()} : colors;
    const QStringList &grid = markGrid();
    const auto [cell, origin] = markLayout(rect);
    QLinearGradient shading(origin, origin + QPointF(grid.first().size() * cell, grid.size() * cell));
    for (qsizetype i = 0; i < stops.size(); ++i)
        shading.setColorAt(stops.size() == 1 ? 0.0 : double(i) / double(stops.size() - 1), stops[i]);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // The extra half cell reaches into the neighbour's solid area, closing the seams that two
    // soft edges meeting at one line would leave.
    for (qsizetype r = 0; r < grid.size(); ++r)
        for (qsizetype c = 0; c < grid[r].size(); ++c)
            if (grid[r][c] == u'X')
                painter.fillRect(QRectF(origin.x() + cell * c, origin.y() + cell * r, cell + 0.5, cell + 0.5), shading);
    painter.restore();
}

namespace {

// Three box passes approximate a Gaussian of the given radius; premultiplied, so edges fade
// to transparent rather than to black.
void blur(QImage &image, int radius)
{
    if (radius < 1)
        return;
    const int w = image.width();
    const int h = image.height();
    const int box = std::max(1, int(std::lround(radius / std::sqrt(3.0))));
    std::vector<int> sums(4);
    auto pass = [&](bool horizontal) {
        const int lines = horizontal ? h : w;
        const int length = horizontal ? w : h;
        std::vector<QRgb> source(length);
        for (int line = 0; line < lines; ++line) {
            auto pixel = [&](int i) -> QRgb & {
                return reinterpret_cast<QRgb *>(image.scanLine(horizontal ? line : i))[horizontal ? i : line];
            };
            for (int i = 0; i < length; ++i)
                source[i] = pixel(i);
            std::fill(sums.begin(), sums.end(), 0);
            const int span = 2 * box + 1;
            auto add = [&](int i, int sign) {
                if (i < 0 || i >= length)
                    return;
                const QRgb p = source[i];
                sums[0] += sign * qRed(p);
                sums[1] += sign * qGreen(p);
                sums[2] += sign * qBlue(p);
                sums[3] += sign * qAlpha(p);
            };
            for (int i = -box; i <= box; ++i)
                add(i, 1);
            for (int i = 0; i < length; ++i) {
                pixel(i) = qRgba(sums[0] / span, sums[1] / span, sums[2] / span, sums[3] / span);
                add(i - box, -1);
                add(i + box + 1, 1);
            }
        }
    };
    for (int round = 0; round < 3; ++round) {
        pass(true);
        pass(false);
    }
}

} // namespace

QImage iconArt(int pixels)
{
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    image.fill(Qt::transparent);
    const double size = pixels;
    const QRectF square(0, 0, size, size);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        const double radius = size * 0.2237;
        shape.addRoundedRect(square, radius, radius);
        QLinearGradient fill(0, 0, 0, size);
        fill.setColorAt(0, QColor(0x1A, 0x20, 0x33));
        fill.setColorAt(1, QColor(0x0A, 0x0B, 0x0F));
        painter.fillPath(shape, fill);
        // Inside the shape: half the pen lies outside and is clipped away.
        const double border = size * 0.004;
        painter.setClipPath(shape);
        painter.strokePath(shape, QPen(QColor(255, 255, 255, 26), border * 2));
    }

    const QRectF frame((size - size * 0.62) / 2, (size - size * 0.52) / 2, size * 0.62, size * 0.52);
    QImage glow(image.size(), QImage::Format_ARGB32_Premultiplied);
    glow.fill(Qt::transparent);
    {
        QPainter painter(&glow);
        drawMark(painter, frame);
    }
    blur(glow, int(std::lround(size * 0.05)));

    QPainter painter(&image);
    painter.setOpacity(0.65);
    painter.drawImage(0, 0, glow);
    painter.setOpacity(1.0);
    drawMark(painter, frame);
    return image;
}

QImage statusBarImage()
{
    constexpr int scale = 3;
    QImage image(22 * scale, 20 * scale, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    drawMark(painter, QRectF(0, 0, 22, 20));
    return image;
}

const QList<std::pair<QString, int>> &iconSet()
{
    static const QList<std::pair<QString, int>> set = {
        {QStringLiteral("icon_16x16"), 16},       {QStringLiteral("icon_16x16@2x"), 32},
        {QStringLiteral("icon_32x32"), 32},       {QStringLiteral("icon_32x32@2x"), 64},
        {QStringLiteral("icon_128x128"), 128},    {QStringLiteral("icon_128x128@2x"), 256},
        {QStringLiteral("icon_256x256"), 256},    {QStringLiteral("icon_256x256@2x"), 512},
        {QStringLiteral("icon_512x512"), 512},    {QStringLiteral("icon_512x512@2x"), 1024},
    };
    return set;
}

int exportIconSet(const QString &folder)
{
    QDir().mkpath(folder);
    int written = 0;
    for (const auto &[name, pixels] : iconSet()) {
        const QImage art = iconArt(pixels);
        if (!art.isNull() && art.save(QDir(folder).filePath(name + QStringLiteral(".png")), "PNG"))
            ++written;
    }
    return written;
}

} // namespace AppLogo
