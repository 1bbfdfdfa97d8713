// This process runs offscreen (no permission). What needs an X server runs in children of this
// same program against a private Xvfb, since a Qt process connects to one display only:
//   --paint X,Y,W,H,#rrggbb...          another program's windows; prints "ready" once they show
//   --capture X,Y [X,Y,W,H OPACITY]     pointer at X,Y, optionally a window of ours; captures once
//                                       and prints a JSON report

#include "AppPaths.h"
#include "Permissions.h"
#include "ScreenCapture.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QRasterWindow>
#include <QScopeGuard>
#include <QScreen>

#include <cstdio>
#include <memory>
#include <vector>

using namespace TestSupport;

namespace {

class SolidWindow : public QRasterWindow
{
public:
    explicit SolidWindow(QColor colour) : m_colour(colour) { setFlag(Qt::FramelessWindowHint); }
    bool painted = false;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(QRect(QPoint(), size()), m_colour);
        painted = true;
    }

private:
    QColor m_colour;
};

bool near(QRgb pixel, QColor expected, int tolerance = 40)
{
    return std::abs(qRed(pixel) - expected.red()) <= tolerance && std::abs(qGreen(pixel) - expected.green()) <= tolerance
        && std::abs(qBlue(pixel) - expected.blue()) <= tolerance;
}

/// What the X server shows at @p point now, our windows included.
QRgb onScreen(QPoint point)
{
    QScreen *screen = QGuiApplication::screenAt(point);
    return screen ? screen->grabWindow(0).toImage().pixel(point - screen->geometry().topLeft()) : 0;
}

QRect rectFrom(const QString &text)
{
    const QStringList parts = text.split(u',');
    return QRect(parts.value(0).toInt(), parts.value(1).toInt(), parts.value(2).toInt(), parts.value(3).toInt());
}

void print(const QByteArray &line)
{
    std::puts(line.constData());
    std::fflush(stdout);
}

int paintChild(const QStringList &descriptions)
{
    std::vector<std::unique_ptr<SolidWindow>> windows;
    for (const QString &description : descriptions) {
        windows.push_back(std::make_unique<SolidWindow>(QColor(description.section(u',', 4))));
        windows.back()->setFlag(Qt::WindowDoesNotAcceptFocus);
        windows.back()->setGeometry(rectFrom(description));
        windows.back()->show();
    }
    // Ready when the server shows every colour, not merely when we painted.
    const bool ready = QTest::qWaitFor([&] {
        for (size_t i = 0; i < windows.size(); ++i) {
            if (!windows[i]->painted || !near(onScreen(windows[i]->geometry().center()), QColor(descriptions[i].section(u',', 4)), 8))
                return false;
        }
        return true;
    }, 20000);
    print(ready ? "ready" : "not ready");
    return ready ? QGuiApplication::exec() : 1; // until the test kills it
}

int captureChild(const QStringList &arguments)
{
    QJsonObject result;
    const QPoint pointer = rectFrom(arguments.value(0)).topLeft();
    QCursor::setPos(pointer);
    bool ready = QTest::qWaitFor([&] { return QCursor::pos() == pointer; }, 5000);
    result[QStringLiteral("chosen")] = ScreenCapture::screenUnderPointer()->name();

    SolidWindow window(Qt::red); // ours: this one shown, if asked for, the other never
    SolidWindow hidden(Qt::red);
    hidden.setGeometry(0, 0, 100, 100);
    const QRect rect = rectFrom(arguments.value(1));
    const double opacity = arguments.value(2, QStringLiteral("1")).toDouble();
    auto redOnScreen = [&] { return near(onScreen(rect.center()), Qt::red, 80); };
    auto active = [&] { return QTest::qWaitFor([&] { return window.isActive(); }, 5000); };
    int visibilityChanges = 0;
    if (!rect.isEmpty()) {
        window.setGeometry(rect);
        window.setOpacity(opacity);
        window.show();
        window.requestActivate();
        ready = ready && QTest::qWaitFor([&] { return window.painted && redOnScreen(); }, 10000) && active();
        QObject::connect(&window, &QWindow::visibleChanged, [&] { ++visibilityChanges; });
    }
    result[QStringLiteral("ready")] = ready;

    int answers = 0;
    std::optional<QString> picture;
    ScreenCapture::captureBase64(&window, [&](std::optional<QString> answer) {
        ++answers;
        picture = std::move(answer);
    });
    (void)QTest::qWaitFor([&] { return answers > 0; }, 30000);
    result[QStringLiteral("answers")] = answers;
    result[QStringLiteral("picture")] = picture ? QJsonValue(*picture) : QJsonValue();
    // Then back as it was: shown, its opacity, on screen and active; the other still hidden.
    result[QStringLiteral("restored")] = rect.isEmpty() || (window.isVisible() && window.opacity() == opacity
        && QTest::qWaitFor(redOnScreen, 10000) && active() && !hidden.isVisible());
    result[QStringLiteral("visibilityChanges")] = visibilityChanges;
    print(QJsonDocument(result).toJson(QJsonDocument::Compact));
    return 0;
}

} // namespace

class ScreenCaptureTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_homes;
    QString m_childHome; // the children's program files, apart from this process's

    std::unique_ptr<QProcess> child(const XvfbServer &server, const QStringList &arguments)
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(server.environment(childEnvironment(m_childHome)));
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QCoreApplication::applicationFilePath(), arguments);
        return process;
    }

private slots:
    void init()
    {
        QVERIFY2(XvfbServer::isInstalled(), "Xvfb, xrandr, xsetroot and xcompmgr are needed (tools/packages.txt)");
        static int n = 0;
        m_childHome = m_homes.filePath(QString::number(++n));
    }

    void outputSize()
    {
        // Scaled down to a longest edge of 1280, never up, each edge truncated and at least 1.
        const QList<std::pair<QSize, QSize>> cases{{{1440, 2560}, {720, 1280}}, {{1366, 768}, {1280, 719}},
                                                   {{800, 600}, {800, 600}}, {{5000, 2}, {1280, 1}}, {{0, 0}, {1, 1}}};
        for (const auto &[display, picture] : cases)
            QCOMPARE(ScreenCapture::outputSize(display), picture);
    }

    void withoutPermissionTheAnswerIsAbsentAndNothingIsLogged()
    {
        QVERIFY(!ScreenCapture::hasPermission());
        QCOMPARE(Permissions::screen(), PermissionState::notDetermined);
        QList<bool> answers; // whether each had a picture
        ScreenCapture::captureBase64(this, [&](std::optional<QString> picture) { answers << picture.has_value(); });
        QVERIFY(answers.isEmpty()); // never inside the call
        QTRY_COMPARE(answers, QList<bool>{false});

        auto *context = new QObject; // gone before the answer: never called
        ScreenCapture::captureBase64(context, [&](std::optional<QString>) { answers << true; });
        delete context;
        QTest::qWait(200);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(QString::fromUtf8(readAll(AppPaths::log())), QString());
    }

    void capture_data()
    {
        QTest::addColumn<QStringList>("arguments"), QTest::addColumn<bool>("compositor");
        QTest::addColumn<QString>("chosen"), QTest::addColumn<QSize>("picture"), QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>("visibilityChanges");
        // Two screens, 1920x1080 (blue, scaled down) and 1024x768 (yellow) side by side; below the
        // second a strip of the desktop that no screen shows.
        QTest::newRow("pointer on the right, last pixel") << QStringList{"2943,767"} << false << "screen1" << QSize(1024, 768) << QColor(Qt::yellow) << 0;
        QTest::newRow("pointer on no screen: the primary") << QStringList{"2000,900"} << false << "screen0" << QSize(1280, 720) << QColor(Qt::blue) << 0;
        // Our window over the blue screen: unmapped for the grab without a compositor, only
        // transparent with one; its own opacity (0.9) comes back as it was.
        const QStringList ours{"10,10", "340,262,600,500"};
        QTest::newRow("our window, no compositor") << ours + QStringList{"1"} << false << "screen0" << QSize(1280, 720) << QColor(Qt::blue) << 2;
        QTest::newRow("our translucent window, compositor") << ours + QStringList{"0.9"} << true << "screen0" << QSize(1280, 720) << QColor(Qt::blue) << 0;
    }
    void capture()
    {
        QFETCH(QStringList, arguments); QFETCH(bool, compositor); QFETCH(QString, chosen); QFETCH(QSize, picture);
        QFETCH(QColor, colour); QFETCH(int, visibilityChanges);
        XvfbServer server;
        QVERIFY2(server.start({QSize(1920, 1080), QSize(1024, 768)}, compositor), qPrintable(server.error()));
        const auto painter = child(server, {"--paint", "0,0,1920,1080,#0000ff", "1920,0,1024,768,#ffff00"});
        const auto stopPainter = qScopeGuard([&] {
            painter->kill();
            painter->waitForFinished(5000);
        });
        QByteArray line;
        while (!line.contains('\n') && painter->waitForReadyRead(30000))
            line += painter->readAllStandardOutput();
        QCOMPARE(line.trimmed(), QByteArray("ready"));

        const auto capturer = child(server, QStringList{"--capture"} + arguments);
        QVERIFY(capturer->waitForFinished(90000));
        const QByteArray output = capturer->readAllStandardOutput().trimmed();
        const QJsonObject result = QJsonDocument::fromJson(output.split('\n').last()).object();
        QVERIFY2(result.value(QStringLiteral("ready")).toBool() && result.value(QStringLiteral("answers")).toInt() == 1,
                 output.left(500).constData());
        QCOMPARE(result.value(QStringLiteral("chosen")).toString(), chosen);
        QVERIFY(result.value(QStringLiteral("restored")).toBool());
        QCOMPARE(result.value(QStringLiteral("visibilityChanges")).toInt(), visibilityChanges);
        QCOMPARE(QString::fromUtf8(readAll(m_childHome + QStringLiteral("/data/Kestrin AI/kestrin.log"))), QString()); // nothing logged

        // One strict base64 JPEG: standard alphabet with padding, no line breaks.
        const QByteArray text = result.value(QStringLiteral("picture")).toString().toLatin1();
        const auto bytes = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY2(bytes && !text.isEmpty(), "no picture");
        QCOMPARE(bytes.decoded.toBase64(), text);
        const QImage image = QImage::fromData(bytes.decoded, "JPEG");
        QVERIFY(bytes.decoded.startsWith("\xFF\xD8\xFF") && !image.isNull());
        QCOMPARE(image.size(), picture);
        // Corners and middle of the picture, and of where our window is (scaled by 2/3).
        const QRect all(QPoint(), picture);
        for (const QPoint point : {all.topLeft() + QPoint(2, 2), all.center(), all.bottomRight() - QPoint(2, 2), QPoint(240, 195), QPoint(599, 494)})
            QVERIFY2(near(image.pixel(point), colour), qPrintable(QColor(image.pixel(point)).name()));
    }
};

int main(int argc, char *argv[])
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode == "--paint" || mode == "--capture") {
        QGuiApplication app(argc, argv); // a child: display and program files come from the test
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
