// One screen picture on a 2560x1440 screen: how long it takes and how much of it the main
// thread carries.
//
// A private Xvfb; behind, a busy full-screen picture shown by another process (this program
// run with --desktop), so the JPEG has real work; in front, a panel-sized window of ours that
// the capture has to leave out. One warm-up capture, then five; medians are printed.
//
// Main thread: the time the main thread was busy between the call and the answer: the call
// itself (choosing the screen, concealing our window) plus every event it handled until the
// answer (the grab and the restoring in their timer event, repaints, the answer's slot),
// timed in QCoreApplication::notify. Total: from the call to the base64 in hand, including
// the fixed wait for the screen to repaint without our window.

#include "ScreenCapture.h"
#include "XvfbServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QRasterWindow>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

constexpr QSize screenSize(2560, 1440);
constexpr int runs = 5;

/// A frameless window showing a fixed picture.
class PictureWindow : public QRasterWindow
{
public:
    explicit PictureWindow(QImage picture) : m_picture(std::move(picture)) { setFlag(Qt::FramelessWindowHint); }
    bool painted() const { return m_painted; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).drawImage(0, 0, m_picture);
        m_painted = true;
    }

private:
    QImage m_picture;
    bool m_painted = false;
};

/// Something like a desktop: gradients, blocks of text, many small shapes.
QImage busyPicture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, size.width(), size.height());
    gradient.setColorAt(0, QColor(30, 60, 110));
    gradient.setColorAt(1, QColor(200, 120, 60));
    painter.fillRect(image.rect(), gradient);
    QRandomGenerator random(7);
    for (int i = 0; i < 3000; ++i) {
        painter.setBrush(QColor::fromRgb(random.generate() | 0xff000000));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(random.bounded(size.width()), random.bounded(size.height()), 4 + random.bounded(60), 4 + random.bounded(60));
    }
    painter.setPen(Qt::white);
    for (int y = 20; y < size.height(); y += 18)
        painter.drawText(40, y, QStringLiteral("The quick brown fox jumps over the lazy dog, line %1. ").arg(y).repeated(4));
    return image;
}

int desktop()
{
    PictureWindow window(busyPicture(screenSize));
    window.setFlag(Qt::WindowDoesNotAcceptFocus);
    window.setGeometry(QRect(QPoint(), screenSize));
    window.show();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        if (!window.painted())
            return;
        poll.stop();
        std::puts("ready");
        std::fflush(stdout);
    });
    poll.start(20);
    return QGuiApplication::exec();
}

/// Adds up the time spent handling events (outermost deliveries only).
class TimedApplication : public QGuiApplication
{
public:
    using QGuiApplication::QGuiApplication;
    qint64 busyNs = 0;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth++ > 0) {
            const bool handled = QGuiApplication::notify(receiver, event);
            --m_depth;
            return handled;
        }
        m_clock.start();
        const bool handled = QGuiApplication::notify(receiver, event);
        busyNs += m_clock.nsecsElapsed();
        --m_depth;
        return handled;
    }

private:
    int m_depth = 0;
    QElapsedTimer m_clock;
};

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && QByteArray(argv[1]) == "--desktop") {
        QGuiApplication app(argc, argv);
        return desktop();
    }
    QTextStream out(stdout);
    QTemporaryDir runtime; // a private runtime folder for Qt, for this process and the background
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));

    XvfbServer server;
    if (!server.start({screenSize})) {
        out << "No X server: " << server.error() << '\n';
        return 1;
    }
    QProcess background;
    background.setProcessEnvironment(server.environment());
    background.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    background.start(QString::fromLocal8Bit(argv[0]), {QStringLiteral("--desktop")});
    QByteArray line;
    while (!line.contains('\n') && background.waitForReadyRead(30000))
        line += background.readAllStandardOutput();
    if (line.trimmed() != "ready") {
        out << "The background did not come up\n";
        return 1;
    }

    qputenv("DISPLAY", server.display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    TimedApplication app(argc, argv);

    QImage panelPicture(440, 1300, QImage::Format_RGB32);
    panelPicture.fill(QColor(24, 24, 28));
    PictureWindow panel(panelPicture);
    panel.setGeometry(screenSize.width() - 460, 70, 440, 1300);
    panel.show();
    QEventLoop shown;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &shown, [&] {
        if (panel.painted())
            shown.quit();
    });
    poll.start(10);
    shown.exec();
    poll.stop();

    QElapsedTimer clock;

    QList<double> callMs, mainMs, totalMs, shares;
    qsizetype pictureLength = 0;
    for (int run = 0; run <= runs; ++run) {
        QEventLoop loop;
        std::optional<QString> picture;
        qint64 answeredAt = 0;
        clock.start();
        ScreenCapture::captureBase64(&loop, [&](std::optional<QString> result) {
            answeredAt = clock.nsecsElapsed();
            picture = std::move(result);
            loop.quit();
        });
        const qint64 callNs = clock.nsecsElapsed();
        app.busyNs = 0;
        loop.exec();
        if (!picture) {
            out << "The capture gave no picture\n";
            return 1;
        }
        pictureLength = picture->size();
        if (run == 0)
            continue; // warm-up
        const double total = double(answeredAt) / 1e6;
        const double mainThread = double(callNs + app.busyNs) / 1e6;
        callMs.append(double(callNs) / 1e6);
        mainMs.append(mainThread);
        totalMs.append(total);
        shares.append(mainThread / total);
    }

    out << "Screen capture, " << screenSize.width() << 'x' << screenSize.height() << " screen to a "
        << ScreenCapture::outputSize(screenSize).width() << 'x' << ScreenCapture::outputSize(screenSize).height()
        << " JPEG (" << QString::number(double(pictureLength) / 1024, 'f', 0) << " KB of base64), median of " << runs
        << " runs after one warm-up\n";
    out << "  the call (choose the screen, conceal our window): " << QString::number(median(callMs), 'f', 2) << " ms\n";
    out << "  main thread in all (the call, grab, restore):     " << QString::number(median(mainMs), 'f', 1) << " ms\n";
    out << "  total until the base64 arrives:                   " << QString::number(median(totalMs), 'f', 1)
        << " ms (includes the 100 ms wait for the screen to repaint)\n";
    out << "  share of the total on the main thread:            " << QString::number(median(shares) * 100, 'f', 0) << " %\n";
    out.flush();

    background.kill();
    background.waitForFinished(5000);
    return 0;
}
