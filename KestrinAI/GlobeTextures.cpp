#include "GlobeTextures.h"

#include "DebugLog.h"

#include <QColor>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>

namespace GlobeTextures {

namespace {

const QColor lineColour = QColor::fromRgbF(0.35f, 0.9f, 1.0f);

float smoothstep(float x)
{
    const float t = std::clamp(x, 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

uchar channel(float value)
{
    // Truncated, like a conversion to an unsigned byte.
    return uchar(std::clamp(value * 255.0f, 0.0f, 255.0f));
}

void drawLine(QPainter &painter, QLineF line, double width, double opacity)
{
    QColor colour = lineColour;
    colour.setAlphaF(float(opacity));
    painter.setPen(QPen(colour, width, Qt::SolidLine, Qt::FlatCap));
    painter.drawLine(line);
}

} // namespace

QImage grid()
{
    QImage image(gridSize, QImage::Format_RGBA8888);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double width = gridSize.width();
    const double height = gridSize.height();
    for (int i = 0; i <= 12; ++i) {
        const double y = i / 12.0 * height;
        drawLine(painter, QLineF(0, y, width, y), i == 6 ? 1.8 : 0.5, i == 6 ? 0.55 : 0.16);
    }
    for (int i = 0; i <= 24; ++i) {
        const double x = i / 24.0 * width;
        drawLine(painter, QLineF(x, 0, x, height), i == 12 ? 1.8 : 0.5, i == 12 ? 0.55 : 0.14);
    }
    return image;
}

QImage starField()
{
    QImage image(starFieldSize, QImage::Format_RGBA8888);
    image.fill(QColor::fromRgbF(0.02f, 0.02f, 0.035f));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QRandomGenerator *random = QRandomGenerator::global();
    const auto between = [random](double low, double high) { return low + random->generateDouble() * (high - low); };
    for (int i = 0; i < starCount; ++i) {
        const QPointF centre(between(0, starFieldSize.width()), between(0, starFieldSize.height()));
        const double diameter = between(0.4, 1.3);
        painter.setBrush(QColor::fromRgbF(1, 1, 1, float(between(0.25, 0.9))));
        painter.drawEllipse(centre, diameter / 2, diameter / 2);
    }
    return image;
}

QRgb recolour(QRgb pixel)
{
    const float r = float(qRed(pixel)) / 255.0f;
    const float g = float(qGreen(pixel)) / 255.0f;
    const float b = float(qBlue(pixel)) / 255.0f;
    const float luminance = 0.3f * r + 0.55f * g + 0.15f * b;
    // Reddish, or not clearly blue: land.
    const float land = std::max(smoothstep((r - 0.104f) / 0.018f), smoothstep(((b - r) - 0.125f) / -0.03f));
    const float brightness = 0.62f + 0.38f * std::min(2.6f * luminance, 1.0f);
    const float seaGreen = 0.05f + 0.05f * luminance;
    const float seaBlue = 0.11f + 0.08f * luminance;
    return qRgba(channel(0.015f + (0.18f * brightness - 0.015f) * land),
                 channel(seaGreen + (0.86f * brightness - seaGreen) * land),
                 channel(seaBlue + (0.98f * brightness - seaBlue) * land), 255);
}

QImage recoloured(const QImage &picture)
{
    QImage image = picture.convertToFormat(QImage::Format_RGBA8888);
    for (int y = 0; y < image.height(); ++y) {
        uchar *row = image.scanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            uchar *p = row + 4 * x;
            const QRgb changed = recolour(qRgb(p[0], p[1], p[2]));
            p[0] = uchar(qRed(changed));
            p[1] = uchar(qGreen(changed));
            p[2] = uchar(qBlue(changed));
            p[3] = 255;
        }
    }
    return image;
}

QStringList earthCandidates()
{
    constexpr auto name = "earth.jpg";
    const QString program = QCoreApplication::applicationDirPath();
    QStringList places{program + QStringLiteral("/resources/") + QLatin1String(name),
                       program + QStringLiteral("/../share/kestrin-ai/") + QLatin1String(name)}; // installed
#ifdef KESTRIN_RESOURCES_DIR
    places.append(QStringLiteral(KESTRIN_RESOURCES_DIR "/") + QLatin1String(name));
#endif
    places.append(QStringLiteral("/usr/share/xplanet/images/") + QLatin1String(name));
    return places;
}

QImage loadEarth(const QStringList &candidates)
{
    const auto found = std::find_if(candidates.cbegin(), candidates.cend(),
                                    [](const QString &path) { return QFileInfo(path).isFile(); });
    // With none at all, the place the program's own copy belongs.
    const QString path = found != candidates.cend() ? *found : candidates.value(0);
    const QImage picture = path.isEmpty() ? QImage() : QImageReader(path).read();
    if (picture.isNull()) {
        DebugLog::log(QStringLiteral("Globe: earth texture not found at ") + path + QStringLiteral(", using grid only"));
        return {};
    }
    return recoloured(picture);
}

} // namespace GlobeTextures
