// The screen picture. This process runs on the offscreen platform (no permission); everything
// that needs an X server runs in children of this same program against a private Xvfb, since a
// Qt process connects to one display only:
//
//   tst_screencapture --paint X,Y,W,H,#rrggbb...   windows of another program, the "desktop";
//                                                  prints "ready" once they are on the screen
//   tst_screencapture --capture [options]          captures and prints one JSON report

#include "AppPaths.h"
#include "Permissions.h"
#include "ScreenCapture.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPointer>
#include <QRasterWindow>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

using namespace TestSupport;

namespace {

/// A frameless window of one colour.
class SolidWindow : public QRasterWindow
{
public:
    explicit SolidWindow(QColor colour) : m_colour(colour) { setFlag(Qt::FramelessWindowHint); }
    bool painted() const { return m_painted; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(QRect(QPoint(), size()), m_colour);
        m_painted = true;
    }

private:
    QColor m_colour;
    bool m_painted = false;
};

bool near(QRgb pixel, QColor expected, int tolerance = 40)
{
    return std::abs(qRed(pixel) - expected.red()) <= tolerance && std::abs(qGreen(pixel) - expected.green()) <= tolerance
        && std::abs(qBlue(pixel) - expected.blue()) <= tolerance;
}

QString describe(QRgb pixel)
{
    return QColor(pixel).name();
}

/// What the X server shows at @p point of the desktop now (a plain grab, our windows included).
QRgb onScreen(QPoint point)
{
    QScreen *screen = QGuiApplication::screenAt(point);
    if (!screen)
        return 0;
    const QPoint local = point - screen->geometry().topLeft();
    return screen->grabWindow(0).toImage().pixel(local);
}

/// The quantisation tables of a JPEG (its DQT segments): they follow from the quality it was saved at.
QByteArray quantisationTables(const QByteArray &jpeg)
{
    QByteArray tables;
    for (qsizetype i = 2; i + 4 <= jpeg.size() && uchar(jpeg.at(i)) == 0xFF;) {
        const uchar marker = uchar(jpeg.at(i + 1));
        const int length = (uchar(jpeg.at(i + 2)) << 8) | uchar(jpeg.at(i + 3));
        if (marker == 0xDA) // the picture data follows
            break;
        if (marker == 0xDB)
            tables += jpeg.mid(i + 4, length - 2);
        i += 2 + length;
    }
    return tables;
}

QByteArray tablesOfQuality(int quality)
{
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::gray);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", quality);
    return quantisationTables(jpeg);
}

QRect rectFrom(const QString &text)
{
    const QStringList parts = text.split(u',');
    return QRect(parts.value(0).toInt(), parts.value(1).toInt(), parts.value(2).toInt(), parts.value(3).toInt());
}

void print(const QByteArray &line)
{
    std::fputs((line + '\n').constData(), stdout);
    std::fflush(stdout);
}

int paintChild(const QStringList &descriptions)
{
    std::vector<std::unique_ptr<SolidWindow>> windows;
    QList<QColor> colours;
    for (const QString &description : descriptions) {
        colours.append(QColor(description.section(u',', 4)));
        auto window = std::make_unique<SolidWindow>(colours.last());
        window->setFlag(Qt::WindowDoesNotAcceptFocus);
        window->setGeometry(rectFrom(description));
        window->show();
        windows.push_back(std::move(window));
    }
    // Ready when the server shows every colour, not merely when we painted.
    const bool ready = QTest::qWaitFor([&] {
        for (size_t i = 0; i < windows.size(); ++i) {
            if (!windows[i]->painted() || !near(onScreen(windows[i]->geometry().center()), colours.at(qsizetype(i)), 8))
                return false;
        }
        return true;
    }, 20000);
    print(ready ? "ready" : "not ready");
    return ready ? QGuiApplication::exec() : 1; // until the test kills it
}

int fail(const QString &message)
{
    print(QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact));
    return 1;
}

int captureChild(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption pointerOption(QStringLiteral("pointer"), QString(), QStringLiteral("x,y"));
    const QCommandLineOption windowOption(QStringLiteral("window"), QString(), QStringLiteral("x,y,w,h"));
    const QCommandLineOption opacityOption(QStringLiteral("opacity"), QString(), QStringLiteral("o"), QStringLiteral("1"));
    const QCommandLineOption capturesOption(QStringLiteral("captures"), QString(), QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption staggerOption(QStringLiteral("stagger"), QString(), QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption dropOption(QStringLiteral("drop-context"), QString(), QStringLiteral("when"));
    parser.addOptions({pointerOption, windowOption, opacityOption, capturesOption, staggerOption, dropOption});
    if (!parser.parse(QStringList{QStringLiteral("child")} + arguments))
        return fail(parser.errorText());
    QJsonObject report;

    if (parser.isSet(pointerOption)) {
        const QStringList xy = parser.value(pointerOption).split(u',');
        const QPoint pointer(xy.value(0).toInt(), xy.value(1).toInt());
        QCursor::setPos(pointer);
        if (!QTest::qWaitFor([&] { return QCursor::pos() == pointer; }, 5000))
            return fail(QStringLiteral("the pointer did not move"));
    }
    report[QStringLiteral("primary")] = QGuiApplication::primaryScreen()->name();
    report[QStringLiteral("chosen")] = ScreenCapture::screenUnderPointer()->name();

    // Our own windows: one shown (red), one never shown.
    SolidWindow window(Qt::red);
    SolidWindow hidden(Qt::red);
    hidden.setGeometry(0, 0, 100, 100);
    int visibilityChanges = 0;
    QObject::connect(&window, &QWindow::visibleChanged, [&] { ++visibilityChanges; });
    const bool withWindow = parser.isSet(windowOption);
    const QRect windowRect = rectFrom(parser.value(windowOption));
    auto redOnScreen = [&] {
        const QRgb pixel = onScreen(windowRect.center());
        return qRed(pixel) > 150 && qGreen(pixel) < 100 && qBlue(pixel) < 100;
    };
    if (withWindow) {
        window.setGeometry(windowRect);
        window.setOpacity(parser.value(opacityOption).toDouble());
        window.show();
        window.requestActivate();
        if (!QTest::qWaitFor([&] { return window.painted() && redOnScreen(); }, 10000))
            return fail(QStringLiteral("our window did not appear"));
        report[QStringLiteral("activeBefore")] = QTest::qWaitFor([&] { return window.isActive(); }, 5000);
        visibilityChanges = 0;
    }

    // The captures, each one stagger later than the one before. Timers, not waits: a late
    // event loop still starts them before the first capture's own timer.
    const int captures = parser.value(capturesOption).toInt();
    const int stagger = parser.value(staggerOption).toInt();
    const QString drop = parser.value(dropOption);
    QList<std::optional<QString>> pictures(captures);
    int answers = 0;
    QPointer<QObject> context = new QObject;
    // The event loop proper, not QTest::qWaitFor (which sleeps between rounds): the timers of
    // the captures must fire on time for a late one to see what an early one restored.
    QEventLoop loop;
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    bool overlapped = true;
    auto start = [&](int i) {
        if (i > 0)
            overlapped = overlapped && (!window.isVisible() || window.opacity() == 0);
        ScreenCapture::captureBase64(context, [&, i](std::optional<QString> picture) {
            pictures[i] = std::move(picture);
            if (++answers == captures)
                loop.quit();
        });
    };
    for (int i = 1; i < captures; ++i)
        QTimer::singleShot(stagger * i, context, [&start, i] { start(i); });
    start(0); // after the timers above: theirs are due before its own, even on a busy machine
    if (drop == QLatin1String("before-grab")) {
        delete context;
    } else if (drop == QLatin1String("while-restoring")) {
        QObject::connect(&window, &QWindow::visibleChanged, context, [&](bool visible) {
            if (visible)
                delete context;
        });
    } else if (drop == QLatin1String("while-encoding")) {
        QObject::connect(&window, &QWindow::visibleChanged, context, [&](bool visible) {
            if (visible)
                QTimer::singleShot(0, context, [&] { delete context; });
        });
    }

    if (drop.isEmpty()) {
        loop.exec();
        if (answers != captures)
            return fail(QStringLiteral("no answer came"));
        if (withWindow && !overlapped)
            return fail(QStringLiteral("a capture began after our window had come back"));
    } else {
        // Nothing to wait for but the windows' return; then give a late answer time to show.
        if (!QTest::qWaitFor([&] { return window.isVisible() && !context; }, 10000))
            return fail(QStringLiteral("our window did not come back"));
        QTest::qWait(1000);
    }
    report[QStringLiteral("answers")] = answers;
    QJsonArray pictureList;
    for (const std::optional<QString> &picture : pictures)
        pictureList.append(picture ? QJsonValue(*picture) : QJsonValue());
    report[QStringLiteral("pictures")] = pictureList;
    if (withWindow) {
        report[QStringLiteral("visibleAfter")] = window.isVisible();
        report[QStringLiteral("opacityAfter")] = window.opacity();
        report[QStringLiteral("visibilityChanges")] = visibilityChanges;
        report[QStringLiteral("onScreenAfter")] = QTest::qWaitFor(redOnScreen, 10000);
        report[QStringLiteral("activeAfter")] = QTest::qWaitFor([&] { return window.isActive(); }, 5000);
        report[QStringLiteral("hiddenStaysHidden")] = !hidden.isVisible();
    }
    print(QJsonDocument(report).toJson(QJsonDocument::Compact));
    return 0;
}

/// A child process killed with its owner.
struct Child
{
    QProcess process;
    ~Child()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

} // namespace

class ScreenCaptureTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_homes;
    QString m_childHome; // the children's program files, apart from this process's
    XvfbServer *m_server = nullptr;

    QString childLog() const { return m_childHome + QStringLiteral("/data/Kestrin AI/kestrin.log"); }

    void startServer(XvfbServer &server, const QList<QSize> &screens, bool compositor = false)
    {
        QVERIFY2(server.start(screens, compositor), qPrintable(server.error()));
        m_server = &server;
    }

    /// Shows windows of another program: "x,y,w,h,#rrggbb" each.
    void paint(Child &painter, const QStringList &windows)
    {
        painter.process.setProcessEnvironment(m_server->environment(childEnvironment(m_childHome)));
        painter.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        painter.process.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--paint")} + windows);
        QVERIFY(painter.process.waitForStarted(10000));
        QByteArray line;
        while (!line.contains('\n') && painter.process.waitForReadyRead(30000))
            line += painter.process.readAllStandardOutput();
        QCOMPARE(line.trimmed(), QByteArray("ready"));
    }

    void capture(const QStringList &arguments, QJsonObject &report)
    {
        QProcess child;
        child.setProcessEnvironment(m_server->environment(childEnvironment(m_childHome)));
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--capture")} + arguments);
        QVERIFY(child.waitForFinished(90000));
        const QByteArray output = child.readAllStandardOutput().trimmed();
        report = QJsonDocument::fromJson(output.split('\n').last()).object();
        QVERIFY2(child.exitCode() == 0 && !report.isEmpty(), output.left(2000).constData());
    }

    /// Decodes one base64 JPEG strictly.
    static void decode(const QJsonValue &value, QImage &picture)
    {
        QVERIFY2(value.isString(), "the capture gave no picture");
        const QByteArray text = value.toString().toLatin1();
        QVERIFY(!text.contains('\n') && !text.contains('\r'));
        const auto bytes = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY(bytes);
        QCOMPARE(bytes.decoded.toBase64(), text); // standard alphabet with padding
        QVERIFY(bytes.decoded.startsWith("\xFF\xD8\xFF")); // a JPEG
        picture = QImage::fromData(bytes.decoded, "JPEG");
        QVERIFY(!picture.isNull());
        const QByteArray tables = quantisationTables(bytes.decoded);
        QVERIFY(!tables.isEmpty());
        QVERIFY(tables == tablesOfQuality(82)); // saved at quality 82
        QVERIFY(tables != tablesOfQuality(81) && tables != tablesOfQuality(83));
    }

    void verifyNothingLogged()
    {
        QCOMPARE(QString::fromUtf8(readAll(childLog())), QString());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(XvfbServer::isInstalled(), "Xvfb, xrandr, xsetroot and xcompmgr are needed (tools/packages.txt)");
        m_homes = std::make_unique<QTemporaryDir>();
    }

    void init()
    {
        static int n = 0;
        m_childHome = m_homes->filePath(QString::number(++n));
        m_server = nullptr;
    }

    void outputSize_data()
    {
        QTest::addColumn<QSize>("display");
        QTest::addColumn<QSize>("picture");
        QTest::newRow("1920x1080") << QSize(1920, 1080) << QSize(1280, 720);
        QTest::newRow("2560x1440") << QSize(2560, 1440) << QSize(1280, 720);
        QTest::newRow("3840x2160") << QSize(3840, 2160) << QSize(1280, 720);
        QTest::newRow("1024x768 kept") << QSize(1024, 768) << QSize(1024, 768);
        QTest::newRow("1280x1024 kept") << QSize(1280, 1024) << QSize(1280, 1024);
        QTest::newRow("1281x1 scaled") << QSize(1281, 1) << QSize(1280, 1);
        QTest::newRow("portrait 1080x1920") << QSize(1080, 1920) << QSize(720, 1280);
        QTest::newRow("portrait 1440x2560") << QSize(1440, 2560) << QSize(720, 1280);
        QTest::newRow("truncated, not rounded") << QSize(1366, 768) << QSize(1280, 719); // 719.6
        QTest::newRow("very wide: height kept at 1") << QSize(5000, 2) << QSize(1280, 1);
        QTest::newRow("1x1") << QSize(1, 1) << QSize(1, 1);
        QTest::newRow("empty") << QSize(0, 0) << QSize(1, 1);
    }
    void outputSize()
    {
        QFETCH(QSize, display);
        QFETCH(QSize, picture);
        QCOMPARE(ScreenCapture::outputSize(display), picture);
    }

    void withoutPermissionTheAnswerIsAbsentAndNothingIsLogged()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
        QVERIFY(!ScreenCapture::hasPermission());
        QVERIFY(!ScreenCapture::requestPermission());
        QCOMPARE(Permissions::screen(), PermissionState::notDetermined);
        ScreenCapture::openSettings(); // nothing to open here; must simply return

        int answers = 0;
        bool absent = false;
        ScreenCapture::captureBase64(this, [&](std::optional<QString> picture) {
            ++answers;
            absent = !picture;
        });
        QCOMPARE(answers, 0); // never inside the call
        QTRY_COMPARE(answers, 1);
        QVERIFY(absent);

        // A context gone before the answer: never called.
        auto *context = new QObject;
        ScreenCapture::captureBase64(context, [&](std::optional<QString>) { ++answers; });
        delete context;
        QTest::qWait(200);
        QCOMPARE(answers, 1);
        QCOMPARE(QString::fromUtf8(readAll(AppPaths::log())), QString());
    }

    void pictureSizeFollowsTheScreen_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QSize>("picture");
        QTest::newRow("1920x1080") << QSize(1920, 1080) << QSize(1280, 720);
        QTest::newRow("1024x768") << QSize(1024, 768) << QSize(1024, 768);
        QTest::newRow("portrait 1080x1920") << QSize(1080, 1920) << QSize(720, 1280);
    }
    void pictureSizeFollowsTheScreen()
    {
        QFETCH(QSize, screen);
        QFETCH(QSize, picture);
        XvfbServer server;
        startServer(server, {screen});
        QVERIFY2(server.setRootColour(QStringLiteral("#8020c0")), qPrintable(server.error()));
        QJsonObject report;
        capture({}, report);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(report.value(QStringLiteral("answers")).toInt(), 1);
        QImage image;
        decode(report.value(QStringLiteral("pictures")).toArray().at(0), image);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(image.size(), picture);
        // It is the screen: the root colour, corner to corner.
        for (const QPoint point : {QPoint(2, 2), image.rect().center(), image.rect().bottomRight() - QPoint(2, 2)})
            QVERIFY2(near(image.pixel(point), QColor(0x80, 0x20, 0xc0)), qPrintable(describe(image.pixel(point))));
        verifyNothingLogged();
    }

    void pictureIsOfTheScreenUnderThePointer_data()
    {
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QColor>("colour");
        // Two screens side by side: 1280x1024 (blue) and 1024x768 (yellow) below which the
        // desktop has a strip that no screen shows.
        QTest::newRow("left") << QPoint(100, 900) << QStringLiteral("screen0") << QSize(1280, 1024) << QColor(Qt::blue);
        QTest::newRow("right") << QPoint(1500, 100) << QStringLiteral("screen1") << QSize(1024, 768) << QColor(Qt::yellow);
        QTest::newRow("right, last pixel") << QPoint(2303, 767) << QStringLiteral("screen1") << QSize(1024, 768) << QColor(Qt::yellow);
        QTest::newRow("on no screen: the primary") << QPoint(1500, 900) << QStringLiteral("screen0") << QSize(1280, 1024) << QColor(Qt::blue);
    }
    void pictureIsOfTheScreenUnderThePointer()
    {
        QFETCH(QPoint, pointer);
        QFETCH(QString, screen);
        QFETCH(QSize, picture);
        QFETCH(QColor, colour);
        XvfbServer server;
        startServer(server, {QSize(1280, 1024), QSize(1024, 768)});
        Child painter;
        paint(painter, {QStringLiteral("0,0,1280,1024,#0000ff"), QStringLiteral("1280,0,1024,768,#ffff00")});
        QJsonObject report;
        capture({QStringLiteral("--pointer"), QStringLiteral("%1,%2").arg(pointer.x()).arg(pointer.y())}, report);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(report.value(QStringLiteral("primary")).toString(), QStringLiteral("screen0"));
        QCOMPARE(report.value(QStringLiteral("chosen")).toString(), screen);
        QImage image;
        decode(report.value(QStringLiteral("pictures")).toArray().at(0), image);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(image.size(), picture);
        for (const QPoint point : {QPoint(2, 2), image.rect().center(), image.rect().bottomRight() - QPoint(2, 2)})
            QVERIFY2(near(image.pixel(point), colour), qPrintable(describe(image.pixel(point))));
        verifyNothingLogged();
    }

    void ownWindowsAreLeftOut_data()
    {
        QTest::addColumn<bool>("compositor");
        QTest::addColumn<double>("opacity");
        QTest::addColumn<int>("captures");
        QTest::addColumn<int>("visibilityChanges");
        // Without a compositor the window is unmapped for the grab; with one it only turns
        // transparent and stays mapped. A second capture that starts while the first waits
        // (95 ms later, just before the first grabs) conceals nothing again and must not see
        // the window the first restores.
        QTest::newRow("no compositor") << false << 1.0 << 1 << 2;
        QTest::newRow("no compositor, two captures at once") << false << 1.0 << 2 << 2;
        QTest::newRow("compositor") << true << 1.0 << 1 << 0;
        QTest::newRow("compositor, translucent window") << true << 0.9 << 1 << 0;
        QTest::newRow("compositor, two captures at once") << true << 1.0 << 2 << 0;
    }
    void ownWindowsAreLeftOut()
    {
        QFETCH(bool, compositor);
        QFETCH(double, opacity);
        QFETCH(int, captures);
        QFETCH(int, visibilityChanges);
        XvfbServer server;
        startServer(server, {QSize(1280, 1024)}, compositor);
        Child painter;
        const QColor background(0x00, 0xc0, 0x00);
        paint(painter, {QStringLiteral("0,0,1280,1024,") + background.name()});
        const QRect ours(340, 262, 600, 500);
        QJsonObject report;
        capture({QStringLiteral("--window"), QStringLiteral("340,262,600,500"), QStringLiteral("--opacity"),
                 QString::number(opacity), QStringLiteral("--captures"), QString::number(captures),
                 QStringLiteral("--stagger"), QStringLiteral("95")},
                report);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(report.value(QStringLiteral("answers")).toInt(), captures);
        for (const QJsonValue value : report.value(QStringLiteral("pictures")).toArray()) {
            QImage image;
            decode(value, image);
            if (QTest::currentTestFailed())
                return;
            QCOMPARE(image.size(), QSize(1280, 1024));
            // Where our window is, the picture shows what is behind it.
            const QRect inside = ours.adjusted(30, 30, -30, -30);
            for (const QPoint point : {inside.center(), inside.topLeft(), inside.topRight(), inside.bottomLeft(), inside.bottomRight()})
                QVERIFY2(near(image.pixel(point), background), qPrintable(describe(image.pixel(point))));
            QVERIFY(near(image.pixel(10, 10), background));
        }
        // And then it is back as it was.
        QVERIFY(report.value(QStringLiteral("visibleAfter")).toBool());
        QCOMPARE(report.value(QStringLiteral("opacityAfter")).toDouble(), opacity);
        QVERIFY(report.value(QStringLiteral("onScreenAfter")).toBool());
        QCOMPARE(report.value(QStringLiteral("visibilityChanges")).toInt(), visibilityChanges);
        QVERIFY(report.value(QStringLiteral("activeBefore")).toBool());
        QVERIFY(report.value(QStringLiteral("activeAfter")).toBool());
        QVERIFY(report.value(QStringLiteral("hiddenStaysHidden")).toBool());
        verifyNothingLogged();
    }

    void contextGoneMeansNoAnswerButWindowsReturn_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("before the grab") << QStringLiteral("before-grab");
        QTest::newRow("while the windows return") << QStringLiteral("while-restoring");
        QTest::newRow("while encoding") << QStringLiteral("while-encoding");
    }
    void contextGoneMeansNoAnswerButWindowsReturn()
    {
        QFETCH(QString, when);
        XvfbServer server;
        startServer(server, {QSize(1280, 1024)});
        QVERIFY(server.setRootColour(QStringLiteral("#00c000")));
        QJsonObject report;
        capture({QStringLiteral("--window"), QStringLiteral("340,262,600,500"), QStringLiteral("--drop-context"), when}, report);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(report.value(QStringLiteral("answers")).toInt(), 0);
        QVERIFY(report.value(QStringLiteral("visibleAfter")).toBool());
        QVERIFY(report.value(QStringLiteral("onScreenAfter")).toBool());
        QVERIFY(report.value(QStringLiteral("activeAfter")).toBool());
        verifyNothingLogged();
    }
};

int main(int argc, char *argv[])
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode == "--paint" || mode == "--capture") {
        // A child: its environment (display, program files) comes from the test.
        QGuiApplication app(argc, argv);
        const QStringList arguments = app.arguments().mid(2);
        return mode == "--paint" ? paintChild(arguments) : captureChild(arguments);
    }
    isolateHome();
    QGuiApplication app(argc, argv);
    ScreenCaptureTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_screencapture.moc"
