#pragma once

#include <QImage>
#include <QStringList>

/// The globe's pictures, drawn with QPainter: the glowing grid, the star field behind the globe
/// and the earth picture recoloured into the globe's palette (dark blue seas, cyan land).
namespace GlobeTextures {

inline constexpr QSize gridSize{2048, 1024};
inline constexpr QSize starFieldSize{1024, 1024};
inline constexpr int starCount = 420;

/// Black with cyan lines: 13 parallels and 25 meridians, the equator and the middle meridian
/// stronger. North is the first row.
QImage grid();
/// The dark sky: 420 faint white dots of random size, place and opacity.
QImage starField();

/// One pixel of the earth picture in the globe's palette; the alpha becomes opaque.
QRgb recolour(QRgb pixel);
/// Every pixel recoloured, as RGBA with 8 bits a channel.
QImage recoloured(const QImage &picture);

/// Where the earth picture ("earth.jpg", equirectangular, north up) is looked for, in order:
/// beside the program, in the source tree's resources, then the xplanet package's picture.
QStringList earthCandidates();
/// The first existing candidate, loaded and recoloured. Null, after one log line, when none is
/// found or the found one cannot be read: the globe then keeps its grid.
QImage loadEarth(const QStringList &candidates);

} // namespace GlobeTextures
