// The screen picture. This process runs on the offscreen platform (no permission); everything
// that needs an X server runs in children of this same program against a private Xvfb, since a
// Qt process connects to one display only:
//
//   tst_screencapture --paint X,Y,W,H,#rrggbb...   windows of another program, the "desktop";
//                                                  prints "ready" once they are on the screen
//   tst_screencapture --capture [--pointer x,y] [--window x,y,w,h [--opacity o]]
//                                                  captures once and prints one JSON report

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
#include <QRasterWindow>
#include <QScreen>

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
    parser.addOptions({pointerOption, windowOption, opacityOption});
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

    int answers = 0;
    std::optional<QString> picture;
    ScreenCapture::captureBase64(&window, [&](std::optional<QString> answer) {
        ++answers;
        picture = std::move(answer);
    });
    if (!QTest::qWaitFor([&] { return answers > 0; }, 30000))
        return fail(QStringLiteral("no answer came"));
    report[QStringLiteral("answers")] = answers;
    report[QStringLiteral("picture")] = picture ? QJsonValue(*picture) : QJsonValue();
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

    /// Runs a capturing child and checks its one picture: @p size, and @p colour at each of @p points.
    void capture(const QStringList &arguments, QSize size, const QList<QPoint> &points, QColor colour, QJsonObject &report)
    {
        QProcess child;
        child.setProcessEnvironment(m_server->environment(childEnvironment(m_childHome)));
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--capture")} + arguments);
        QVERIFY(child.waitForFinished(90000));
        const QByteArray output = child.readAllStandardOutput().trimmed();
        report = QJsonDocument::fromJson(output.split('\n').last()).object();
        QVERIFY2(child.exitCode() == 0 && !report.isEmpty(), output.left(2000).constData());
        QCOMPARE(report.value(QStringLiteral("answers")).toInt(), 1);

        // One base64 JPEG, decoded strictly.
        const QJsonValue value = report.value(QStringLiteral("picture"));
        QVERIFY2(value.isString(), "the capture gave no picture");
        const QByteArray text = value.toString().toLatin1();
        const auto bytes = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY(bytes);
        QCOMPARE(bytes.decoded.toBase64(), text); // standard alphabet with padding, no line breaks
        const QImage image = QImage::fromData(bytes.decoded, "JPEG");
        QVERIFY(bytes.decoded.startsWith("\xFF\xD8\xFF") && !image.isNull());
        const QByteArray tables = quantisationTables(bytes.decoded);
        QVERIFY(tables == tablesOfQuality(82) && tables != tablesOfQuality(81) && tables != tablesOfQuality(83));
        QCOMPARE(image.size(), size);
        for (const QPoint point : points)
            QVERIFY2(near(image.pixel(point), colour), qPrintable(QColor(image.pixel(point)).name()));
        QCOMPARE(QString::fromUtf8(readAll(childLog())), QString()); // nothing logged
    }

    static QList<QPoint> cornersAndCentre(QRect rect)
    {
        return {rect.topLeft() + QPoint(2, 2), rect.center(), rect.bottomRight() - QPoint(2, 2)};
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
        QTest::newRow("2560x1440") << QSize(2560, 1440) << QSize(1280, 720);
        QTest::newRow("1280x1024 kept") << QSize(1280, 1024) << QSize(1280, 1024);
        QTest::newRow("portrait 1440x2560") << QSize(1440, 2560) << QSize(720, 1280);
        QTest::newRow("truncated, not rounded") << QSize(1366, 768) << QSize(1280, 719); // 719.6
        QTest::newRow("very wide: height kept at 1") << QSize(5000, 2) << QSize(1280, 1);
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
        // It is the screen: the root colour, corner to corner.
        capture({}, picture, cornersAndCentre(QRect(QPoint(), picture)), QColor(0x80, 0x20, 0xc0), report);
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
        capture({QStringLiteral("--pointer"), QStringLiteral("%1,%2").arg(pointer.x()).arg(pointer.y())}, picture,
                cornersAndCentre(QRect(QPoint(), picture)), colour, report);
        QCOMPARE(report.value(QStringLiteral("primary")).toString(), QStringLiteral("screen0"));
        QCOMPARE(report.value(QStringLiteral("chosen")).toString(), screen);
    }

    void ownWindowsAreLeftOut_data()
    {
        QTest::addColumn<bool>("compositor");
        QTest::addColumn<double>("opacity");
        QTest::addColumn<int>("visibilityChanges");
        // Without a compositor the window is unmapped for the grab; with one it only turns
        // transparent and stays mapped.
        QTest::newRow("no compositor") << false << 1.0 << 2;
        QTest::newRow("compositor") << true << 1.0 << 0;
        QTest::newRow("compositor, translucent window") << true << 0.9 << 0;
    }
    void ownWindowsAreLeftOut()
    {
        QFETCH(bool, compositor);
        QFETCH(double, opacity);
        QFETCH(int, visibilityChanges);
        XvfbServer server;
        startServer(server, {QSize(1280, 1024)}, compositor);
        Child painter;
        const QColor background(0x00, 0xc0, 0x00);
        paint(painter, {QStringLiteral("0,0,1280,1024,") + background.name()});
        // Where our window is, the picture shows what is behind it.
        const QRect inside = QRect(340, 262, 600, 500).adjusted(30, 30, -30, -30);
        QJsonObject report;
        capture({QStringLiteral("--window"), QStringLiteral("340,262,600,500"), QStringLiteral("--opacity"), QString::number(opacity)},
                QSize(1280, 1024), {inside.center(), inside.topLeft(), inside.topRight(), inside.bottomLeft(), inside.bottomRight(), QPoint(10, 10)},
                background, report);
        if (QTest::currentTestFailed())
            return;
        // And then it is back as it was.
        QVERIFY(report.value(QStringLiteral("visibleAfter")).toBool());
        QCOMPARE(report.value(QStringLiteral("opacityAfter")).toDouble(), opacity);
        QVERIFY(report.value(QStringLiteral("onScreenAfter")).toBool());
        QCOMPARE(report.value(QStringLiteral("visibilityChanges")).toInt(), visibilityChanges);
        QVERIFY(report.value(QStringLiteral("activeBefore")).toBool());
        QVERIFY(report.value(QStringLiteral("activeAfter")).toBool());
        QVERIFY(report.value(QStringLiteral("hiddenStaysHidden")).toBool());
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
