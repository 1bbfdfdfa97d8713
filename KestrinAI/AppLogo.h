#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QRectF>
#include <QStringList>

class QPainter;

/// The brand mark and the application icon, drawn in code from a small pixel grid (there are no
/// image files): the tray image and, on request from the command line, a set of PNG icons.
namespace AppLogo {

/// 20 rows of 24 cells, "X" filled; row 0 is the top.
const QStringList &markGrid();

/// The grid's cell size and top-left corner when drawn centred in @p rect.
struct MarkLayout
{
    double cell;
    QPointF origin;
};
MarkLayout markLayout(const QRectF &rect);

/// Draws the mark into @p rect with one diagonal gradient through @p colors (default: Oryn's
/// then Tarvik's accent).
void drawMark(QPainter &painter, const QRectF &rect, const QList<QColor> &colors = {});

/// The full application icon, @p pixels square: rounded dark square, faint border, a blurred
/// glow of the mark and the sharp mark.
QImage iconArt(int pixels);

/// The tray image: the mark in a 22 x 20 frame at scale 3. Null if rendering failed.
QImage statusBarImage();

/// The ten icon sizes, as file name (without ".png") and pixels, in export order.
const QList<std::pair<QString, int>> &iconSet();

/// Writes the icon set into @p folder (created with its parents). A file that cannot be made or
/// written is skipped. @return the number of files written.
int exportIconSet(const QString &folder);

} // namespace AppLogo
