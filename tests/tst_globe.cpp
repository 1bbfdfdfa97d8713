// The globe's math and pictures; its rendering, mesh and all, in a child of this program on a
// private Xvfb (Quick 3D draws nothing offscreen): --show LAT,LON,NAME...  shows each place,
// prints a JSON report

#include "AppPaths.h"
#include "FloatingWindow.h"
#include "GlobeMath.h"
#include "GlobeTextures.h"
#include "RenderingInfo.h"
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

constexpr QPoint globeCentre(490, 340); // the middle of the 980 x 680 window

std::unique_ptr<QQuickView> mapView(const QStringList &place)
{
    auto view = FloatingWindow::create(QStringLiteral("MapWindow"), QUrl(QStringLiteral("qrc:/KestrinAI/views/MapWindowView.qml")),
                                       {{QStringLiteral("placeName"), place.value(2)}, {QStringLiteral("latitude"), place.value(0).toDouble()},
                                        {QStringLiteral("longitude"), place.value(1).toDouble()}},
                                       QQuickView::SizeRootObjectToView);
    if (view)
        view->resize(980, 680);
    return view;
}

bool near(const QVector3D &a, const QVector3D &b, float tolerance = 1e-5f) { return (a - b).length() < tolerance; }
QByteArray text(const QVector3D &v) { return QStringLiteral("(%1, %2, %3)").arg(v.x()).arg(v.y()).arg(v.z()).toLatin1(); }

/// The mean green of a 21 x 21 patch 150 pixels (about 20 degrees) from the centre: land glows cyan, seas are dark.
double greenAround(const QImage &frame, QPoint direction)
{
    double sum = 0;
    for (int y = -10; y <= 10; ++y)
        for (int x = -10; x <= 10; ++x)
            sum += qGreen(frame.pixel(globeCentre + 150 * direction + QPoint(x, y)));
    return sum / (21 * 21);
}

/// Where the pin's red head is in a frame and what lies around it.
QJsonObject measure(const QImage &frame)
{
    qint64 count = 0, sumX = 0, sumY = 0;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            if (const QRgb p = frame.pixel(x, y); qRed(p) > 150 && qGreen(p) < 90 && qBlue(p) < 90)
                ++count, sumX += x, sumY += y;
    return {{QStringLiteral("red"), count},
            {QStringLiteral("x"), count ? double(sumX) / double(count) : -1},
            {QStringLiteral("y"), count ? double(sumY) / double(count) : -1},
            {QStringLiteral("north"), greenAround(frame, {0, -1})}, {QStringLiteral("south"), greenAround(frame, {0, 1})},
            {QStringLiteral("east"), greenAround(frame, {1, 0})}, {QStringLiteral("west"), greenAround(frame, {-1, 0})}};
}

int showChild(const QStringList &places)
{
    auto view = mapView(places.value(0).split(u','));
    if (!view)
        return 1;
    view->show();
    QQuickItem *root = view->rootObject();
    QQuickItem *globe = root->findChild<QQuickItem *>(QStringLiteral("globe"));
    QJsonArray frames;
    for (int i = 0; i < places.size(); ++i) {
        const QStringList place = places[i].split(u',');
        if (i > 0)
            QMetaObject::invokeMethod(root, "present", Q_ARG(QVariant, place.value(2)), Q_ARG(QVariant, place.value(0).toDouble()),
                                      Q_ARG(QVariant, place.value(1).toDouble()));
        const bool settled = QTest::qWaitFor([&] { return globe->property("showsEarth").toBool() && !globe->property("flying").toBool(); }, 30000);
        QTest::qWait(300); // a few more frames on screen
        QJsonObject frame = settled ? measure(view->grabWindow()) : QJsonObject();
        frame[QStringLiteral("title")] = root->findChild<QQuickItem *>(QStringLiteral("placeName"))->property("text").toString();
        frame[QStringLiteral("software")] = RenderingInfo::isSoftware();
        const QObject *environment = globe->findChild<QObject *>(QStringLiteral("globeScene"))->property("environment").value<QObject *>();
        frame[QStringLiteral("antialiasing")] = environment->property("antialiasingMode").toInt();
        frames.append(frame);
    }
    std::puts(QJsonDocument(frames).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}

} // namespace

class GlobeTest : public QObject
{
    Q_OBJECT

private slots:
    void math()
    {
        // latitude, longitude, position and where the turn takes the north pole (null: not checked)
        const QList<std::tuple<double, double, QVector3D, QVector3D>> places{
            {0, 0, QVector3D(1, 0, 0), QVector3D(0, 1, 0)},
            {0, 90, QVector3D(0, 0, -1), QVector3D(0, 1, 0)}, // behind the globe
            {0, -90, QVector3D(0, 0, 1), QVector3D(0, 1, 0)}, // already facing
            {90, 0, QVector3D(0, 1, 0), QVector3D(0, 0, 1)},
            {-90, 40, QVector3D(0, -1, 0), QVector3D(0, 0, -1)},
            // Off the equator north stays up the screen, tipped towards or away from the viewer.
            {30, 60, QVector3D(float(std::sqrt(3.0) / 4), 0.5f, -0.75f), QVector3D(0, float(std::sqrt(3.0) / 2), 0.5f)},
            {-33.8688, 151.2093, QVector3D(), QVector3D(0, std::cos(qDegreesToRadians(33.8688f)), -std::sin(qDegreesToRadians(33.8688f)))}};
        for (const auto &[latitude, longitude, position, northPole] : places) {
            const QVector3D place = GlobeMath::position(latitude, longitude);
            const QQuaternion turn = GlobeMath::facing(latitude, longitude);
            QVERIFY2(position.isNull() || near(place, position), text(place));
            QVERIFY2(near(turn.rotatedVector(place), QVector3D(0, 0, 1)), text(turn.rotatedVector(place)));
            QVERIFY2(northPole.isNull() || near(turn.rotatedVector(QVector3D(0, 1, 0)), northPole), text(turn.rotatedVector(QVector3D(0, 1, 0))));
            // The pin stands on the place, pointing away from the centre.
            QVERIFY(near(GlobeMath::pinOrientation(latitude, longitude).rotatedVector(QVector3D(0, 1, 0)), place));
        }

        const float s = std::sin(0.4f), c = std::cos(0.4f); // 100 points
        // start, drag, a point on the globe before it, where it is in the scene after it
        const QList<std::tuple<QQuaternion, QPointF, QVector3D, QVector3D>> drags{
            {QQuaternion(), QPointF(100, 0), QVector3D(0, 0, 1), QVector3D(s, 0, c)},
            {QQuaternion(), QPointF(0, 100), QVector3D(0, 0, 1), QVector3D(0, -s, c)},
            {GlobeMath::facing(90, 0), QPointF(100, 0), QVector3D(0, 1, 0), QVector3D(s, 0, c)}, // about the screen's axes
            {QQuaternion(), QPointF(2 * M_PI / 0.004, 0), QVector3D(1, 0, 0), QVector3D(1, 0, 0)}}; // a full turn
        for (const auto &[start, drag, point, becomes] : drags) {
            const QVector3D got = GlobeMath::dragged(start, drag.x(), drag.y()).rotatedVector(point);
            QVERIFY2((got - becomes).length() < 1e-4f, text(got));
        }
        QCOMPARE(GlobeMath::zoomed(3.4, 10), 3.5);
        QCOMPARE(GlobeMath::zoomed(3.4, 0.5 * -80), 3.0);
        QCOMPARE(GlobeMath::zoomed(3.4, -1000), 1.35);
        QCOMPARE(GlobeMath::zoomed(5.99, 5), 6.0);
    }

    void pictures()
    {
        const QList<std::pair<QRgb, QRgb>> recolours{
            {qRgb(10, 30, 80), qRgb(3, 14, 30)},        // sea
            {qRgb(60, 120, 40), qRgb(44, 212, 242)},    // grass
            {qRgb(255, 255, 255), qRgb(45, 219, 249)},  // capped brightness
            {qRgb(0, 0, 0), qRgb(28, 135, 154)},        // black is not blue: land
            {qRgb(28, 40, 60), qRgb(11, 52, 70)},       // coast, a quarter land
            {qRgba(10, 30, 80, 7), qRgb(3, 14, 30)}};   // translucent becomes opaque
        for (const auto &[pixel, recoloured] : recolours)
            QCOMPARE(QColor::fromRgba(GlobeTextures::recolour(pixel)), QColor::fromRgba(recoloured));

        const QImage grid = GlobeTextures::grid();
        QCOMPARE(grid.size(), QSize(2048, 1024));
        QCOMPARE(grid.pixel(40, 40), qRgb(0, 0, 0)); // inside a cell
        const QRgb equator = grid.pixel(40, 511), parallel = grid.pixel(40, 85), meridian = grid.pixel(1023, 40);
        QVERIFY(qBlue(equator) > 2 * qBlue(parallel) && qBlue(meridian) > 2 * qBlue(parallel));
        for (const QRgb line : {equator, parallel, meridian})
            QVERIFY2(qBlue(line) >= qGreen(line) && qGreen(line) > 2 * qRed(line) && qRed(line) > 0, qPrintable(QColor(line).name()));

        const QImage stars = GlobeTextures::starField();
        QCOMPARE(stars.size(), QSize(1024, 1024));
        int sky = 0, lit = 0;
        for (int i = 0; i < 1024 * 1024; ++i)
            sky += stars.pixel(i % 1024, i / 1024) == qRgb(5, 5, 9), lit += qRed(stars.pixel(i % 1024, i / 1024)) > 40;
        QVERIFY2(sky > 1024 * 1024 * 99 / 100 && lit > 100, qPrintable(QStringLiteral("%1 %2").arg(sky).arg(lit)));
    }

    void earthPicture()
    {
        QTemporaryDir folder;
        writeAll(folder.filePath(QStringLiteral("broken.jpg")), "not a picture");
        QImage world(3, 2, QImage::Format_RGB32);
        world.fill(qRgb(10, 30, 80));
        world.setPixel(1, 0, qRgb(60, 120, 40));
        QVERIFY(world.save(folder.filePath(QStringLiteral("world.png"))));
        // candidates, relative to the folder; the one named in the log, empty when loaded
        const QList<std::pair<QStringList, QString>> cases{{{"a/earth.jpg", "b/earth.jpg"}, "a/earth.jpg"},
                                                           {{"a/earth.jpg", "broken.jpg"}, "broken.jpg"},
                                                           {{"a/earth.jpg", "world.png", "broken.jpg"}, ""}};
        for (auto [candidates, logged] : cases) {
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
                QCOMPARE(earth.pixel(1, 0), qRgb(44, 212, 242));
            }
        }
    }

    void viewControls()
    {
        // Offscreen the scene draws nothing, but the view and its controls work.
        auto view = mapView({"48.8566", "2.3522", "Paris, France"});
        QVERIFY(view);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        QQuickItem *root = view->rootObject();
        QQuickItem *globe = root->findChild<QQuickItem *>(QStringLiteral("globe"));
        QCOMPARE(root->findChild<QQuickItem *>(QStringLiteral("placeName"))->property("text").toString(), QStringLiteral("PARIS, FRANCE"));
        QVERIFY(!globe->property("spinning").toBool() && globe->property("flying").toBool()); // the fly-to stopped the spin

        // A wheel notch away from the user moves the camera 0.15 away, up to 6.
        const auto scroll = [&](int notches) {
            const QPointF at(globeCentre);
            QWheelEvent wheel(at, view->mapToGlobal(at), {}, QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(view.get(), &wheel);
            return globe->property("cameraDistance").toDouble();
        };
        QVERIFY(qFuzzyCompare(scroll(1), 3.55));
        QCOMPARE(scroll(100), 6.0);

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
        // While the window is hidden (active false) every animation holds still: they cost CPU.
        const auto animatesOnlyWhileActive = [&](const std::function<QVariant()> &value) {
            QVariant before = value();
            QTRY_VERIFY(value() != before);
            globe->setProperty("active", false);
            before = value();
            QTest::qWait(300);
            QCOMPARE(value(), before);
            globe->setProperty("active", true);
            QTRY_VERIFY(value() != before);
        };
        animatesOnlyWhileActive([&] { return QVariant(orientation()); });

        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(200, 200));
        const QQuaternion pressed = orientation();
        QVERIFY(!globe->property("spinning").toBool());
        QTest::mouseMove(&view, QPoint(230, 190));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(230, 190));
        QTest::qWait(200);
        QCOMPARE(orientation(), GlobeMath::dragged(pressed, 30, -10)); // and no spin after it

        QMetaObject::invokeMethod(globe, "flyTo", Q_ARG(QVariant, 90.0), Q_ARG(QVariant, 0.0));
        QVERIFY(pin->property("visible").toBool() && globe->property("flying").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(!globe->property("flying").toBool(), 10000);
        const QVector3D north = orientation().rotatedVector(QVector3D(0, 1, 0));
        QVERIFY2(near(north, QVector3D(0, 0, 1), 1e-3f), text(north)); // the animation's last step, in floats
        QVERIFY(!globe->property("spinning").toBool());
        QObject *ring = nullptr; // the pin's pulsing ring, the one part with a "pulse"
        for (QObject *child : pin->findChildren<QObject *>())
            ring = child->property("pulse").isValid() ? child : ring;
        QVERIFY(ring);
        animatesOnlyWhileActive([&] { return ring->property("pulse"); });
    }

    void softwareRenderers()
    {
        QVERIFY(RenderingInfo::isSoftwareRenderer("llvmpipe (LLVM 15.0.6, 256 bits)"));
        QVERIFY(RenderingInfo::isSoftwareRenderer("Software Rasterizer"));
        QVERIFY(RenderingInfo::isSoftwareRenderer("softpipe"));
        // Hardware drivers built with LLVM name it too.
        QVERIFY(!RenderingInfo::isSoftwareRenderer("AMD Radeon RX 6600 (navy_flounder, LLVM 15.0.6, DRM 3.49, 6.1.0-13-amd64)"));
        QVERIFY(!RenderingInfo::isSoftwareRenderer("Mesa Intel(R) UHD Graphics 620 (KBL GT2)"));
        QVERIFY(!RenderingInfo::isSoftwareRenderer(""));
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
        const QStringList places{"0,0,Null Island", "90,0,North Pole", "-33.8688,151.2093,Sydney"};
        child.start(QCoreApplication::applicationFilePath(), QStringList{"--show"} + places);
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAllStandardOutput().trimmed();
        const QJsonArray frames = QJsonDocument::fromJson(output.split('\n').last()).array();
        QVERIFY2(frames.size() == places.size(), output.left(500).constData());
        for (int i = 0; i < frames.size(); ++i) {
            const QJsonObject frame = frames[i].toObject();
            const QByteArray where = QJsonDocument(frame).toJson(QJsonDocument::Compact);
            QCOMPARE(frame.value(QStringLiteral("title")).toString(), places[i].section(u',', 2).toUpper());
            // The pin's head is a disc some 50 pixels wide, in the middle of the globe.
            QVERIFY2(frame.value(QStringLiteral("red")).toInt() > 800
                         && std::abs(frame.value(QStringLiteral("x")).toDouble() - globeCentre.x()) < 8
                         && std::abs(frame.value(QStringLiteral("y")).toDouble() - globeCentre.y()) < 8, where.constData());
        }
        // Xvfb draws with Mesa's llvmpipe: no multisampling there.
        QVERIFY(frames[0].toObject().value(QStringLiteral("software")).toBool());
        QCOMPARE(frames[0].toObject().value(QStringLiteral("antialiasing")).toInt(), 0); // SceneEnvironment.NoAA
        // Around 0, 0: the Sahara to the north and Africa to the east glow, the Atlantic to the
        // south and west is dark; with the picture upside down or mirrored it is the other way.
        const QJsonObject nullIsland = frames[0].toObject();
        const auto green = [&](const char *side) { return nullIsland.value(QLatin1String(side)).toDouble(); };
        QVERIFY2(green("north") > 3 * green("south") && green("east") > 3 * green("west"),
                 QJsonDocument(nullIsland).toJson(QJsonDocument::Compact).constData());
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
