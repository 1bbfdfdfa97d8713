#pragma once

#include "MapPresenter.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

class QPropertyAnimation;
class QQuickView;
class QQuickWindow;
struct Placemark;

/// The globe window: looks a place up in the offline gazetteer and shows it on the holographic
/// globe in a large floating window centred on the screen under the pointer. One window, made on
/// the first place and reused; several lookups may be in flight, and the last one to arrive
/// stays on screen.
///
/// Thread: main. The lookup runs on a pool thread.
class MapWindowController : public QObject, public MapPresenter
{
    Q_OBJECT

public:
    /// Looks @p place up and calls @p done once, on @p context's thread, while @p context lives.
    using Geocoder = std::function<void(const QString &place, QObject *context,
                                        std::function<void(std::optional<Placemark>)> done)>;

    static constexpr int windowWidth = 980;
    static constexpr int windowHeight = 680;

    /// With the program's gazetteer.
    explicit MapWindowController(QObject *parent = nullptr);
    explicit MapWindowController(Geocoder geocoder, QObject *parent = nullptr);
    ~MapWindowController() override;

    void show(const QString &place, std::function<void(bool found)> completion) override;

    QQuickWindow *window() const;

    /// The placemark's locality (or else its name) and its country, joined by ", " ("Paris,
    /// France"; a country once, not twice); the user's own words when it has neither.
    static QString displayName(const Placemark &placemark, const QString &place);

public slots:
    /// Fades the window out; it is kept for the next place.
    void close();

private:
    void present(const QString &placeName, double latitude, double longitude);
    bool createWindow(const QString &placeName, double latitude, double longitude);
    void fadeTo(qreal opacity, int durationMs);

    Geocoder m_geocoder;
    std::unique_ptr<QQuickView> m_window;
    QPointer<QPropertyAnimation> m_fade;
    bool m_closing = false;
};
