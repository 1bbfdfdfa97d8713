// The globe's math, mesh and pictures here; its rendering in a child of this same program on a
// private Xvfb (Quick 3D draws nothing offscreen):
//   --show LAT,LON,NAME [LAT,LON,NAME...]   shows the map window view at the first place and
//                                           presents the others; prints one JSON report

#include "AppPaths.h"
#include "FloatingWindow.h"
#include "GlobeMath.h"
#include "GlobeMesh.h"
#include "GlobeTextures.h"
#include "TestSupport.h"
#include "ViewEngine.h"
#include "XvfbServer.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QWheelEvent>
#include <QtMath>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

using namespace TestSupport;

namespace {

const QUrl viewUrl(QStringLiteral("qrc:/KestrinAI/views/MapWindowView.qml"));
constexpr QPoint globeCentre(490, 340); // the middle of the 980 x 680 window

std::unique_ptr<QQuickView> mapView(const QString &name, double latitude, double longitude)
{
    auto view = FloatingWindow::create(QStringLiteral("MapWindow"), viewUrl,
                                       {{QStringLiteral("placeName"), name}, {QStringLiteral("latitude"), latitude},
                                        {QStringLiteral("longitude"), longitude}},
                                       QQuickView::SizeRootObjectToView);
    if (view)
        view->resize(980, 680);
    return view;
}

bool near(const QVector3D &a, const QVector3D &b, float tolerance = 1e-5f)
{
    return (a - b).length() < tolerance;
}

QByteArray text(const QVector3D &v)
{
    return QStringLiteral("(%1, %2, %3)").arg(v.x()).arg(v.y()).arg(v.z()).toLatin1();
}

/// The mean green of a 21 x 21 patch: land glows cyan, seas are dark.
double greenAround(const QImage &frame, QPoint centre)
{
    double sum = 0;
    for (int y = -10; y <= 10; ++y)
        for (int x = -10; x <= 10; ++x)
            sum += qGreen(frame.pixel(centre + QPoint(x, y)));
    return sum / (21 * 21);
}

/// Where the pin is in a frame and what lies around it.
QJsonObject measure(const QImage &frame)
{
    qint64 count = 0, sumX = 0, sumY = 0;
    for (int y = 0; y < frame.height(); ++y) {
        for (int x = 0; x < frame.width(); ++x) {
            const QRgb p = frame.pixel(x, y);
            if (qRed(p) > 150 && qGreen(p) < 90 && qBlue(p) < 90) {
                ++count;
                sumX += x;
                sumY += y;
            }
        }
    }
    constexpr int away = 150; // about 20 degrees of arc from the middle of the disc
    return {{QStringLiteral("red"), count},
            {QStringLiteral("x"), count ? double(sumX) / double(count) : -1},
            {QStringLiteral("y"), count ? double(sumY) / double(count) : -1},
            {QStringLiteral("north"), greenAround(frame, globeCentre - QPoint(0, away))},
            {QStringLiteral("south"), greenAround(frame, globeCentre + QPoint(0, away))},
            {QStringLiteral("east"), greenAround(frame, globeCentre + QPoint(away, 0))},
            {QStringLiteral("west"), greenAround(frame, globeCentre - QPoint(away, 0))}};
}

int showChild(const QStringList &places)
{
    QJsonObject report;
    const auto place = [&](int i) { return places.value(i).split(u','); };
    auto view = mapView(place(0).value(2), place(0).value(0).toDouble(), place(0).value(1).toDouble());
    if (!view)
        return 1;
    view->show();
    QQuickItem *root = view->rootObject();
    QQuickItem *globe = root->findChild<QQuickItem *>(QStringLiteral("globe"));
    const auto settled = [&] {
        const bool done = QTest::qWaitFor([&] { return globe->property("showsEarth").toBool() && !globe->property("flying").toBool(); }, 30000);
        QTest::qWait(300); // a few more frames on screen
        return done;
    };
    QJsonArray frames;
    for (int i = 0; i < places.size(); ++i) {
        if (i > 0)
            QMetaObject::invokeMethod(root, "present", Q_ARG(QVariant, place(i).value(2)),
                                      Q_ARG(QVariant, place(i).value(0).toDouble()), Q_ARG(QVariant, place(i).value(1).toDouble()));
        QJsonObject frame = settled() ? measure(view->grabWindow()) : QJsonObject();
        frame[QStringLiteral("title")] = root->findChild<QQuickItem *>(QStringLiteral("placeName"))->property("text").toString();
        frames.append(frame);
    }
    report[QStringLiteral("frames")] = frames;

    // The ring pulses while the view is active and holds still while it is not.
    const auto changes = [&] {
        const QImage before = view->grabWindow();
        QTest::qWait(300);
        return view->grabWindow() != before;
    };
    report[QStringLiteral("changesWhileActive")] = changes();
    root->setProperty("active", false);
    QTest::qWait(100);
    report[QStringLiteral("changesWhileInactive")] = changes();
    root->setProperty("active", true);
    report[QStringLiteral("changesWhenActiveAgain")] = changes();

    std::puts(QJsonDocument(report).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}

} // namespace

class GlobeTest : public QObject
{
    Q_OBJECT

private slots:
    void coordinateToPosition_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QVector3D>("position");
        const float h = float(M_SQRT1_2);
        QTest::newRow("0, 0 on +x") << 0.0 << 0.0 << QVector3D(1, 0, 0);
        QTest::newRow("east 90 on -z") << 0.0 << 90.0 << QVector3D(0, 0, -1);
        QTest::newRow("west 90 on +z") << 0.0 << -90.0 << QVector3D(0, 0, 1);
        QTest::newRow("180 on -x") << 0.0 << 180.0 << QVector3D(-1, 0, 0);
        QTest::newRow("north pole") << 90.0 << 123.0 << QVector3D(0, 1, 0);
        QTest::newRow("south pole") << -90.0 << 0.0 << QVector3D(0, -1, 0);
        QTest::newRow("45 north") << 45.0 << 0.0 << QVector3D(h, h, 0);
        QTest::newRow("30 north, 60 east") << 30.0 << 60.0 << QVector3D(float(std::sqrt(3.0) / 4), 0.5f, -0.75f);
    }
    void coordinateToPosition()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QVector3D, position);
        const QVector3D got = GlobeMath::position(latitude, longitude);
        QVERIFY2(near(got, position), text(got));
    }

    void facingTurnsThePlaceToTheCamera_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QVector3D>("northPole"); // where the turn takes it
        QTest::newRow("0, 0: north stays up") << 0.0 << 0.0 << QVector3D(0, 1, 0);
        QTest::newRow("already facing") << 0.0 << -90.0 << QVector3D(0, 1, 0);
        QTest::newRow("behind the globe") << 0.0 << 90.0 << QVector3D(0, 1, 0);
        QTest::newRow("north pole to the camera") << 90.0 << 0.0 << QVector3D(0, 0, 1);
        QTest::newRow("south pole to the camera") << -90.0 << 40.0 << QVector3D(0, 0, -1);
        QTest::newRow("Paris") << 48.8566 << 2.3522 << QVector3D();
        QTest::newRow("Sydney") << -33.8688 << 151.2093 << QVector3D();
    }
    void facingTurnsThePlaceToTheCamera()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QVector3D, northPole);
        const QVector3D place = GlobeMath::position(latitude, longitude);
        const QQuaternion turn = GlobeMath::facing(latitude, longitude);
        QVERIFY2(near(turn.rotatedVector(place), QVector3D(0, 0, 1)), text(turn.rotatedVector(place)));
        if (!northPole.isNull())
            QVERIFY2(near(turn.rotatedVector(QVector3D(0, 1, 0)), northPole), text(turn.rotatedVector(QVector3D(0, 1, 0))));
        // The pin stands on the place, pointing away from the centre.
        QVERIFY(near(GlobeMath::pinOrientation(latitude, longitude).rotatedVector(QVector3D(0, 1, 0)), place));
    }

    void dragTurnsAboutTheScreenAxes_data()
    {
        QTest::addColumn<QQuaternion>("start");
        QTest::addColumn<QPointF>("drag");
        QTest::addColumn<QVector3D>("point");   // on the globe, before the drag
        QTest::addColumn<QVector3D>("becomes"); // in the scene, after it
        const float s = std::sin(0.4f), c = std::cos(0.4f); // 100 points
        QTest::newRow("right: the front moves right") << QQuaternion() << QPointF(100, 0) << QVector3D(0, 0, 1) << QVector3D(s, 0, c);
        QTest::newRow("down: the front moves down") << QQuaternion() << QPointF(0, 100) << QVector3D(0, 0, 1) << QVector3D(0, -s, c);
        QTest::newRow("right with the north pole facing") << GlobeMath::facing(90, 0) << QPointF(100, 0) << QVector3D(0, 1, 0) << QVector3D(s, 0, c);
        QTest::newRow("a full turn") << QQuaternion() << QPointF(2 * M_PI / 0.004, 0) << QVector3D(1, 0, 0) << QVector3D(1, 0, 0);
    }
    void dragTurnsAboutTheScreenAxes()
    {
        QFETCH(QQuaternion, start);
        QFETCH(QPointF, drag);
        QFETCH(QVector3D, point);
        QFETCH(QVector3D, becomes);
        const QVector3D got = GlobeMath::dragged(start, drag.x(), drag.y()).rotatedVector(point);
        QVERIFY2((got - becomes).length() < 1e-4f, text(got));
    }

    void zoomStaysBetweenTheLimits_data()
    {
        QTest::addColumn<double>("distance");
        QTest::addColumn<double>("delta");
        QTest::addColumn<double>("result");
        QTest::newRow("scroll up moves away") << 3.4 << 10.0 << 3.5;
        QTest::newRow("spread fingers come closer") << 3.4 << 0.5 * -80 << 3.0;
        QTest::newRow("never nearer than 1.35") << 3.4 << -1000.0 << 1.35;
        QTest::newRow("at the nearest") << 1.35 << -1.0 << 1.35;
        QTest::newRow("never further than 6") << 5.99 << 5.0 << 6.0;
    }
    void zoomStaysBetweenTheLimits()
    {
        QFETCH(double, distance);
        QFETCH(double, delta);
        QFETCH(double, result);
        QCOMPARE(GlobeMath::zoomed(distance, delta), result);
    }

    void mesh()
    {
        const QList<GlobeMesh::Vertex> vertices = GlobeMesh::vertices();
        const QList<quint32> indices = GlobeMesh::indices();
        QCOMPARE(vertices.size(), 33 * 65);
        QCOMPARE(indices.size(), 32 * 64 * 6);
        QCOMPARE(indices.mid(0, 6), (QList<quint32>{0, 1, 65, 1, 66, 65}));
        QCOMPARE(indices.mid(indices.size() - 6), (QList<quint32>{2078, 2079, 2143, 2079, 2144, 2143}));
        QCOMPARE(*std::max_element(indices.cbegin(), indices.cend()), quint32(vertices.size() - 1));
        const QList<std::tuple<int, QVector3D, QVector2D>> samples{
            {0, QVector3D(0, 1, 0), QVector2D(0, 1)},               // north pole, west edge
            {16 * 65 + 32, QVector3D(1, 0, 0), QVector2D(0.5f, 0.5f)}, // 0, 0
            {16 * 65 + 48, QVector3D(0, 0, -1), QVector2D(0.75f, 0.5f)}, // 90 east
            {16 * 65, QVector3D(-1, 0, 0), QVector2D(0, 0.5f)},     // 180 west
            {32 * 65 + 64, QVector3D(0, -1, 0), QVector2D(1, 0)}};  // south pole, east edge
        for (const auto &[index, position, texCoord] : samples) {
            QVERIFY2(near(vertices[index].position, position), text(vertices[index].position));
            QCOMPARE(vertices[index].texCoord, texCoord);
        }
    }

    void recolour_data()
    {
        QTest::addColumn<QRgb>("pixel");
        QTest::addColumn<QRgb>("recoloured");
        QTest::newRow("sea") << qRgb(10, 30, 80) << qRgb(3, 14, 30);
        QTest::newRow("pure blue") << qRgb(0, 0, 255) << qRgb(3, 14, 31);
        QTest::newRow("grass") << qRgb(60, 120, 40) << qRgb(44, 212, 242);
        QTest::newRow("desert, bright: capped brightness") << qRgb(200, 170, 120) << qRgb(45, 219, 249);
        QTest::newRow("white") << qRgb(255, 255, 255) << qRgb(45, 219, 249);
        QTest::newRow("black is not blue: land") << qRgb(0, 0, 0) << qRgb(28, 135, 154);
        QTest::newRow("dark forest") << qRgb(30, 45, 40) << qRgb(35, 169, 193);
        QTest::newRow("coast, a quarter land") << qRgb(28, 40, 60) << qRgb(11, 52, 70);
        QTest::newRow("translucent becomes opaque") << qRgba(10, 30, 80, 7) << qRgb(3, 14, 30);
    }
    void recolour()
    {
        QFETCH(QRgb, pixel);
        QFETCH(QRgb, recoloured);
        QCOMPARE(QColor::fromRgba(GlobeTextures::recolour(pixel)), QColor::fromRgba(recoloured));
    }

    void pictures()
    {
        const QImage grid = GlobeTextures::grid();
        QCOMPARE(grid.size(), QSize(2048, 1024));
        QCOMPARE(grid.pixel(40, 40), qRgb(0, 0, 0)); // inside a cell
        const QRgb equator = grid.pixel(40, 511);
        const QRgb parallel = grid.pixel(40, 85); // 1024 / 12 = 85.3
        const QRgb meridian = grid.pixel(1023, 40);
        QVERIFY(qBlue(equator) > 2 * qBlue(parallel) && qBlue(meridian) > 2 * qBlue(parallel));
        for (const QRgb line : {equator, parallel, meridian})
            QVERIFY2(qBlue(line) >= qGreen(line) && qGreen(line) > 2 * qRed(line) && qRed(line) > 0, qPrintable(QColor(line).name()));

        const QImage stars = GlobeTextures::starField();
        QCOMPARE(stars.size(), QSize(1024, 1024));
        int sky = 0, lit = 0;
        for (int y = 0; y < stars.height(); ++y) {
            for (int x = 0; x < stars.width(); ++x) {
                const QRgb p = stars.pixel(x, y);
                sky += p == qRgb(5, 5, 9);
                lit += qRed(p) > 40;
            }
        }
        QVERIFY2(sky > stars.width() * stars.height() * 99 / 100 && lit > 100, qPrintable(QStringLiteral("%1 %2").arg(sky).arg(lit)));
    }

    void earthPicture_data()
    {
        QTest::addColumn<QStringList>("candidates"); // relative to a fresh folder
        QTest::addColumn<QString>("logged");          // empty: loaded
        QTest::newRow("none found: the first is named") << QStringList{"a/earth.jpg", "b/earth.jpg"} << "a/earth.jpg";
        QTest::newRow("not a picture") << QStringList{"a/earth.jpg", "broken.jpg"} << "broken.jpg";
        QTest::newRow("the first that exists") << QStringList{"a/earth.jpg", "world.png", "broken.jpg"} << "";
    }
    void earthPicture()
    {
        QFETCH(QStringList, candidates);
        QFETCH(QString, logged);
        QTemporaryDir folder;
        writeAll(folder.filePath(QStringLiteral("broken.jpg")), "not a picture");
        QImage world(3, 2, QImage::Format_RGB32);
        world.fill(qRgb(10, 30, 80));
        world.setPixel(1, 0, qRgb(60, 120, 40));
        QVERIFY(world.save(folder.filePath(QStringLiteral("world.png"))));
        for (QString &candidate : candidates)
            candidate = folder.filePath(candidate);
        const qsizetype before = readAll(AppPaths::log()).size(); // the log opens once a process

        const QImage earth = GlobeTextures::loadEarth(candidates);
        const QString log = QString::fromUtf8(readAll(AppPaths::log()).mid(before));
        if (!logged.isEmpty()) {
            QVERIFY(earth.isNull());
            QCOMPARE(log.count(u'\n'), 1);
            QVERIFY2(log.endsWith(QStringLiteral("] Globe: earth texture not found at ") + folder.filePath(logged)
                                  + QStringLiteral(", using grid only\n")), qPrintable(log));
        } else {
            QCOMPARE(log, QString());
            QCOMPARE(earth.size(), QSize(3, 2));
            QCOMPARE(earth.pixel(0, 0), qRgb(3, 14, 30));
            QCOMPARE(earth.pixel(1, 0), qRgb(44, 212, 242));
        }
    }

    void candidatesEndWithTheSystemPicture()
    {
        const QStringList candidates = GlobeTextures::earthCandidates();
        QCOMPARE(candidates.first(), QCoreApplication::applicationDirPath() + QStringLiteral("/resources/earth.jpg"));
        QCOMPARE(candidates.last(), QStringLiteral("/usr/share/xplanet/images/earth.jpg"));
    }

    void viewControls()
    {
        // Offscreen the scene draws nothing, but the view and its controls work.
        auto view = mapView(QStringLiteral("Paris, France"), 48.8566, 2.3522);
        QVERIFY(view);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        QQuickItem *root = view->rootObject();
        QQuickItem *globe = root->findChild<QQuickItem *>(QStringLiteral("globe"));
        const auto textOf = [&](const char *name) { return root->findChild<QQuickItem *>(QLatin1String(name))->property("text").toString(); };
        QCOMPARE(textOf("placeName"), QStringLiteral("PARIS, FRANCE"));
        QCOMPARE(textOf("caption"), QStringLiteral("IN PROGRESS  /  PIN POSITION IS APPROXIMATE"));
        QVERIFY(!globe->property("spinning").toBool()); // the fly-to stopped it
        QVERIFY(globe->property("flying").toBool());
        QMetaObject::invokeMethod(root, "present", Q_ARG(QVariant, QStringLiteral("Mount Everest")), Q_ARG(QVariant, 27.98), Q_ARG(QVariant, 86.92));
        QCOMPARE(textOf("placeName"), QStringLiteral("MOUNT EVEREST"));
        QCOMPARE(root->property("latitude").toDouble(), 27.98);

        // A wheel notch away from the user moves the camera 0.15 away, up to 6.
        const auto scroll = [&](int notches) {
            const QPointF at(globeCentre);
            QWheelEvent wheel(at, view->mapToGlobal(at), {}, QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(view.get(), &wheel);
            return globe->property("cameraDistance").toDouble();
        };
        QVERIFY(qFuzzyCompare(scroll(1), 3.55));
        QVERIFY(qFuzzyCompare(scroll(-2), 3.25));
        QCOMPARE(scroll(100), 6.0);
        QCOMPARE(scroll(-100), 1.35);

        QSignalSpy closes(root, SIGNAL(closeRequested()));
        QQuickItem *close = root->findChild<QQuickItem *>(QStringLiteral("closeButton"));
        QTest::mouseClick(view.get(), Qt::LeftButton, {}, close->mapToScene(QPointF(14, 14)).toPoint());
        QCOMPARE(closes.size(), 1);
    }

    void dragStopsTheSpinForGood()
    {
        QQuickView view(ViewEngine::shared(), nullptr);
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.setSource(QUrl(QStringLiteral("qrc:/KestrinAI/views/GlobeView.qml")));
        view.resize(400, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QQuickItem *globe = view.rootObject();
        QObject *earth = globe->findChild<QObject *>(QStringLiteral("earth"));
        QObject *pin = globe->findChild<QObject *>(QStringLiteral("pin"));
        QVERIFY(globe->property("spinning").toBool() && !pin->property("visible").toBool());
        const auto orientation = [&] { return earth->property("rotation").value<QQuaternion>(); };
        QTRY_VERIFY(orientation() != QQuaternion());

        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(200, 200));
        QVERIFY(!globe->property("spinning").toBool());
        const QQuaternion pressed = orientation();
        QTest::mouseMove(&view, QPoint(230, 190));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(230, 190));
        const QVector3D front = orientation().rotatedVector(QVector3D(0, 0, 1));
        QVERIFY2(near(front, GlobeMath::dragged(pressed, 30, -10).rotatedVector(QVector3D(0, 0, 1))), text(front));
        QTest::qWait(200);
        QCOMPARE(orientation(), GlobeMath::dragged(pressed, 30, -10)); // no spin after it

        QMetaObject::invokeMethod(globe, "flyTo", Q_ARG(QVariant, 90.0), Q_ARG(QVariant, 0.0));
        QVERIFY(pin->property("visible").toBool() && globe->property("flying").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(!globe->property("flying").toBool(), 10000);
        const QVector3D north = orientation().rotatedVector(QVector3D(0, 1, 0));
        QVERIFY2(near(north, QVector3D(0, 0, 1), 1e-3f), text(north)); // the animation's last step, in floats
        QVERIFY(!globe->property("spinning").toBool());
    }

    void showsThePlaceUnderThePin()
    {
        QVERIFY2(XvfbServer::isInstalled(), "Xvfb is needed (tools/packages.txt)");
        XvfbServer server;
        QVERIFY2(server.start({QSize(1920, 1080)}), qPrintable(server.error()));
        QTemporaryDir childHome;
        QProcess child;
        child.setProcessEnvironment(server.environment(childEnvironment(childHome.path())));
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QStringList places{"0,0,Null Island", "90,0,North Pole", "48.8566,2.3522,Paris", "-33.8688,151.2093,Sydney"};
        child.start(QCoreApplication::applicationFilePath(), QStringList{"--show"} + places);
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAllStandardOutput().trimmed();
        const QJsonObject report = QJsonDocument::fromJson(output.split('\n').last()).object();
        const QJsonArray frames = report.value(QStringLiteral("frames")).toArray();
        QVERIFY2(frames.size() == places.size(), output.left(500).constData());
        for (int i = 0; i < frames.size(); ++i) {
            const QJsonObject frame = frames[i].toObject();
            const QByteArray where = QJsonDocument(frame).toJson(QJsonDocument::Compact);
            QCOMPARE(frame.value(QStringLiteral("title")).toString(), places[i].section(u',', 2).toUpper());
            // The pin's head is a disc some 50 pixels wide, in the middle of the globe.
            QVERIFY2(frame.value(QStringLiteral("red")).toInt() > 800, where.constData());
            QVERIFY2(std::abs(frame.value(QStringLiteral("x")).toDouble() - globeCentre.x()) < 8
                     && std::abs(frame.value(QStringLiteral("y")).toDouble() - globeCentre.y()) < 8, where.constData());
        }
        // Around 0, 0: the Sahara to the north and Africa to the east glow, the Atlantic to the
        // south and west is dark; with the picture upside down or mirrored it is the other way.
        const QJsonObject nullIsland = frames[0].toObject();
        const auto green = [&](const char *side) { return nullIsland.value(QLatin1String(side)).toDouble(); };
        QVERIFY2(green("north") > 3 * green("south") && green("east") > 3 * green("west"),
                 QJsonDocument(nullIsland).toJson(QJsonDocument::Compact).constData());

        QVERIFY(report.value(QStringLiteral("changesWhileActive")).toBool());
        QVERIFY(!report.value(QStringLiteral("changesWhileInactive")).toBool());
        QVERIFY(report.value(QStringLiteral("changesWhenActiveAgain")).toBool());
        // The earth picture was found: nothing logged.
        QCOMPARE(QString::fromUtf8(readAll(childHome.filePath(QStringLiteral("data/Kestrin AI/kestrin.log")))), QString());
    }
};

int main(int argc, char *argv[])
{
    if (argc > 1 && QByteArray(argv[1]) == "--show") {
        QGuiApplication app(argc, argv); // a child: display and program files come from the test
        return showChild(app.arguments().mid(2));
    }
    isolateHome();
    QGuiApplication app(argc, argv);
    GlobeTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_globe.moc"
