#include "MapWindowController.h"

#include "DebugLog.h"
#include "FloatingWindow.h"
#include "Gazetteer.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>

namespace {

const QUrl viewUrl(QStringLiteral("qrc:/KestrinAI/views/MapWindowView.qml"));
constexpr int fadeInMs = 250;
constexpr int fadeOutMs = 200;

} // namespace

MapWindowController::MapWindowController(QObject *parent)
    : MapWindowController(
          [](const QString &place, QObject *context, std::function<void(std::optional<Placemark>)> done) {
              Gazetteer::shared().geocode(place, context, std::move(done));
          },
          parent)
{
}

MapWindowController::MapWindowController(Geocoder geocoder, QObject *parent)
    : QObject(parent)
    , m_geocoder(std::move(geocoder))
{
}

MapWindowController::~MapWindowController()
{
    // The animation drives the view's content: it goes first.
    delete m_fade;
}

QQuickWindow *MapWindowController::window() const
{
    return m_window.get();
}

QString MapWindowController::displayName(const Placemark &placemark, const QString &place)
{
    QStringList parts;
    if (placemark.locality)
        parts << *placemark.locality;
    else if (placemark.name)
        parts << *placemark.name;
    // A country's placemark names the country twice: once is enough.
    if (placemark.country && !parts.contains(*placemark.country))
        parts << *placemark.country;
    return parts.isEmpty() ? place : parts.join(QStringLiteral(", "));
}

void MapWindowController::show(const QString &place, std::function<void(bool)> completion)
{
    m_geocoder(place, this, [this, place, completion = std::move(completion)](std::optional<Placemark> found) {
        if (!found) {
            DebugLog::log(QStringLiteral("map: couldn't geocode \"%1\"").arg(place));
            if (completion)
                completion(false);
            return;
        }
        present(displayName(*found, place), found->latitude, found->longitude);
        if (completion)
            completion(true);
    });
}

void MapWindowController::present(const QString &placeName, double latitude, double longitude)
{
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QRect frame(area.center().x() - windowWidth / 2, area.center().y() - windowHeight / 2, windowWidth,
                      windowHeight);

    if (!m_window) {
        if (!createWindow(placeName, latitude, longitude))
            return;
    } else {
        QMetaObject::invokeMethod(m_window->rootObject(), "present", Q_ARG(QVariant, placeName),
                                  Q_ARG(QVariant, latitude), Q_ARG(QVariant, longitude));
    }
    m_window->rootObject()->setProperty("active", true);
    m_window->setScreen(screen);
    m_window->setGeometry(frame);
    m_closing = false;
    if (!m_window->isVisible()) {
        m_window->rootObject()->setOpacity(0.0);
        FloatingWindow::markFloating(m_window.get());
        m_window->show();
    } else {
        // A new place fades in again over the old one.
        m_window->rootObject()->setOpacity(0.0);
    }
    m_window->raise();
    fadeTo(1.0, fadeInMs);
}

bool MapWindowController::createWindow(const QString &placeName, double latitude, double longitude)
{
    m_window = FloatingWindow::create(QStringLiteral("MapWindow"), viewUrl,
                                      {{QStringLiteral("placeName"), placeName},
                                       {QStringLiteral("latitude"), latitude},
                                       {QStringLiteral("longitude"), longitude}},
                                      QQuickView::SizeRootObjectToView);
    if (!m_window)
        return false;
    m_window->setTitle(QStringLiteral("Map"));
    connect(m_window->rootObject(), SIGNAL(closeRequested()), this, SLOT(close()));
    // The fades change the content's opacity: screen capture owns the window's.
    m_fade = new QPropertyAnimation(m_window->rootObject(), "opacity", this);
    connect(m_fade, &QPropertyAnimation::finished, this, [this] {
        if (!m_closing)
            return;
        m_closing = false;
        m_window->rootObject()->setProperty("active", false); // no spinning globe while hidden
        m_window->hide();
    });
    return true;
}

void MapWindowController::close()
{
    if (!m_window || !m_window->isVisible())
        return;
    m_closing = true;
    fadeTo(0.0, fadeOutMs);
}

void MapWindowController::fadeTo(qreal opacity, int durationMs)
{
    m_fade->stop();
    m_fade->setStartValue(m_window->rootObject()->opacity());
    m_fade->setEndValue(opacity);
    m_fade->setDuration(durationMs);
    m_fade->start();
}
