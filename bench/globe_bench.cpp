// The globe's frame rate on a private Xvfb with software OpenGL (Mesa llvmpipe), the machine's
// likely worst case. Four runs: the globe spinning idly at the size it has in the map window,
// the whole map window with the pin pulsing after a fly-to, the same with the other choice of
// multisampling (for the ratio), and that window made inactive (as while it is hidden). Each: a
// one-second warm-up, then five seconds of frames. Frame time is the gap between two frames
// handed to the screen (frameSwapped); CPU is the whole process's.
// Target: at least 30 frames per second in the idle spin and in the map window.

#include "BenchSupport.h"
#include "FloatingWindow.h"
#include "RenderingInfo.h"
#include "XvfbServer.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMutex>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtQml/qqmlextensionplugin.h>

#include <algorithm>

Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

namespace {

constexpr int warmUpMs = 1000;
constexpr int measureMs = 5000;
constexpr double targetFps = 30;

struct Run
{
    QList<double> gapsMs;
    double seconds = 0;
    double cpuSeconds = 0;
};

/// Frames of @p window over measureMs, after warmUpMs.
Run measure(QQuickWindow *window)
{
    BenchSupport::waitUntil([] { return false; }, warmUpMs);
    QMutex lock; // frameSwapped comes from the render thread when Qt uses one
    QElapsedTimer clock;
    qint64 last = -1;
    Run run;
    const auto connection = QObject::connect(window, &QQuickWindow::frameSwapped, window, [&] {
        const QMutexLocker locked(&lock);
        const qint64 now = clock.nsecsElapsed();
        if (last >= 0)
            run.gapsMs.append(double(now - last) / 1e6);
        last = now;
    }, Qt::DirectConnection);
    const double cpuBefore = BenchSupport::cpuSeconds();
    clock.start();
    BenchSupport::waitUntil([] { return false; }, measureMs);
    QObject::disconnect(connection);
    const QMutexLocker locked(&lock);
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.cpuSeconds = BenchSupport::cpuSeconds() - cpuBefore;
    return run;
}

double percentile(QList<double> values, double share)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(std::min<qsizetype>(values.size() - 1, qsizetype(share * double(values.size()))));
}

void report(QTextStream &out, const QString &name, const Run &run, bool judged = false)
{
    const double fps = double(run.gapsMs.size()) / run.seconds;
    out << name << '\n';
    out << "  frames per second:     " << QString::number(fps, 'f', 1)
        << (!judged ? QString() : fps >= targetFps ? QStringLiteral(" (target 30: met)") : QStringLiteral(" (target 30: MISSED)")) << '\n';
    out << "  frame time, median:    " << QString::number(percentile(run.gapsMs, 0.5), 'f', 1) << " ms\n";
    out << "  frame time, 90th pct:  " << QString::number(percentile(run.gapsMs, 0.9), 'f', 1) << " ms\n";
    out << "  CPU (of one core):     " << QString::number(run.cpuSeconds / run.seconds * 100, 'f', 0) << " %\n";
    if (!run.gapsMs.isEmpty())
        out << "  CPU per frame:         " << QString::number(run.cpuSeconds * 1000 / double(run.gapsMs.size()), 'f', 1) << " ms\n";
    out.flush();
}

std::unique_ptr<QQuickView> show(const QString &name, const QString &view, const QVariantMap &properties, QSize size)
{
    auto window = FloatingWindow::create(name, QUrl(QStringLiteral("qrc:/KestrinAI/views/%1.qml").arg(view)), properties,
                                         QQuickView::SizeRootObjectToView);
    if (!window)
        return nullptr;
    window->resize(size);
    window->show();
    return window;
}

} // namespace

int main(int argc, char *argv[])
{
    QTextStream out(stdout);
    QTemporaryDir home; // the program's files (the log) and Qt's runtime folder, apart from the user's
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path()));

    XvfbServer server;
    if (!server.start({QSize(1920, 1080)})) {
        out << "No X server: " << server.error() << '\n';
        return 1;
    }
    qputenv("DISPLAY", server.display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);

    out << "Globe frame rate on Xvfb, software OpenGL; " << warmUpMs / 1000 << " s warm-up, " << measureMs / 1000
        << " s measured\n";
    {
        // The globe's area in the map window: 980 x 680 less 24 on each side.
        auto globe = show(QStringLiteral("Globe"), QStringLiteral("GlobeView"), {}, QSize(932, 632));
        if (!globe)
            return 1;
        report(out, QStringLiteral("Idle spin, globe alone (932 x 632)"), measure(globe.get()), true);
    }
    auto map = show(QStringLiteral("MapWindow"), QStringLiteral("MapWindowView"),
                    {{QStringLiteral("placeName"), QStringLiteral("Paris, France")},
                     {QStringLiteral("latitude"), 48.8566}, {QStringLiteral("longitude"), 2.3522}},
                    QSize(980, 680));
    if (!map)
        return 1;
    QQuickItem *globe = map->rootObject()->findChild<QQuickItem *>(QStringLiteral("globe"));
    BenchSupport::waitUntil([&] { return globe->property("showsEarth").toBool() && !globe->property("flying").toBool(); }, 30000);
    const bool software = RenderingInfo::isSoftware();
    out << "Renderer: " << (software ? "software, so no multisampling" : "hardware, 4x multisampling") << '\n';
    const Run pulsing = measure(map.get());
    report(out, QStringLiteral("Map window after a fly-to, pin pulsing (980 x 680)"), pulsing, true);
    // The same with the other choice of edges, for the ratio.
    globe->setProperty("antialiased", software);
    const Run other = measure(map.get());
    report(out, software ? QStringLiteral("The same with 4x multisampling") : QStringLiteral("The same without multisampling"), other);
    out << "  frame rate without / with multisampling: "
        << QString::number(software ? double(pulsing.gapsMs.size()) / double(std::max<qsizetype>(1, other.gapsMs.size()))
                                    : double(other.gapsMs.size()) / double(std::max<qsizetype>(1, pulsing.gapsMs.size())), 'f', 2)
        << "\n";
    globe->setProperty("antialiased", !software);
    map->rootObject()->setProperty("active", false);
    report(out, QStringLiteral("Map window inactive"), measure(map.get()));
    out << "Resident memory: " << QString::number(residentMb(), 'f', 0) << " MB\n";
    return 0;
}
