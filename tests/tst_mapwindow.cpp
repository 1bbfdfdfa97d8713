// The map window: the lookup's outcomes, the title rule and one window reused for every place.

#include "AppPaths.h"
#include "Gazetteer.h"
#include "MapWindowController.h"
#include "TestSupport.h"

#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QSignalSpy>

namespace {

/// Answers from a table, later, as the real lookup does.
MapWindowController::Geocoder tableGeocoder(QHash<QString, Placemark> table)
{
    return [table](const QString &place, QObject *context, std::function<void(std::optional<Placemark>)> done) {
        QMetaObject::invokeMethod(context, [table, place, done] {
            done(table.contains(place) ? std::optional(table.value(place)) : std::nullopt);
        }, Qt::QueuedConnection);
    };
}

Placemark placemark(double latitude, double longitude, std::optional<QString> locality, std::optional<QString> name,
                    std::optional<QString> country)
{
    return Placemark{latitude, longitude, std::move(locality), std::move(name), std::move(country)};
}

} // namespace

Q_DECLARE_METATYPE(Placemark)

class MapWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void displayName_data()
    {
        QTest::addColumn<Placemark>("placemark"), QTest::addColumn<QString>("expected");
        QTest::newRow("locality and country") << placemark(48.9, 2.35, "Paris", "Paris", "France") << "Paris, France";
        QTest::newRow("name, no locality") << placemark(0, -160, {}, "Pacific Ocean", {}) << "Pacific Ocean";
        QTest::newRow("a country") << placemark(36, 138, {}, "Japan", "Japan") << "Japan";
        QTest::newRow("neither") << placemark(1, 2, {}, {}, {}) << "the place I said";
    }
    void displayName()
    {
        QFETCH(Placemark, placemark); QFETCH(QString, expected);
        QCOMPARE(MapWindowController::displayName(placemark, QStringLiteral("the place I said")), expected);
    }

    void unknownPlaceLogsOnceAndSaysNo()
    {
        MapWindowController map(tableGeocoder({}));
        QList<bool> answers;
        map.show(QStringLiteral("atlantis"), [&](bool found) { answers << found; });
        QTRY_COMPARE(answers, QList<bool>{false});
        QTest::qWait(50);
        QCOMPARE(answers.size(), 1);
        QVERIFY(!map.window());
        const QByteArray log = TestSupport::readAll(AppPaths::log());
        QCOMPARE(log.count("map: couldn't geocode \"atlantis\"\n"), 1);
    }

    void oneWindowForEveryPlace()
    {
        MapWindowController map(tableGeocoder({{"tokyo", placemark(35.7, 139.7, "Tokyo", "Tokyo", "Japan")},
                                               {"lima", placemark(-12.0, -77.0, "Lima", "Lima", "Peru")}}));
        QList<bool> answers;
        map.show(QStringLiteral("tokyo"), [&](bool found) { answers << found; });
        QTRY_COMPARE(answers, QList<bool>{true});
        QQuickWindow *window = map.window();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->size(), QSize(980, 680));
        auto *view = qobject_cast<QQuickView *>(window);
        QQuickItem *root = view ? view->rootObject() : nullptr;
        QVERIFY(root);
        QCOMPARE(root->property("placeName").toString(), QStringLiteral("Tokyo, Japan"));
        QTRY_COMPARE(root->opacity(), 1.0);
        QCOMPARE(window->opacity(), 1.0); // fades belong to the content

        map.show(QStringLiteral("lima"), [&](bool found) { answers << found; });
        QTRY_COMPARE(answers, QList<bool>({true, true}));
        QCOMPARE(map.window(), window);
        QCOMPARE(root->property("placeName").toString(), QStringLiteral("Lima, Peru"));
        QCOMPARE(root->property("latitude").toDouble(), -12.0);

        // The close button: faded out, kept, and the globe stops.
        QMetaObject::invokeMethod(root, "closeRequested");
        QTRY_VERIFY(!window->isVisible());
        QCOMPARE(map.window(), window);
        QVERIFY(!root->property("active").toBool());
    }
};

KESTRIN_GUI_TEST_MAIN(MapWindowTest)
#include "tst_mapwindow.moc"
