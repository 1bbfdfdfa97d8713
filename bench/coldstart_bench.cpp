// Cold start of the program on a private X server with a tray host: the time from starting the
// process to its tray icon on screen (the first thing it shows), and its resident memory 5 s
// after start, with wake words on (a microphone exists, so the listener runs) and off (no
// sound server, so there is no microphone). Five runs each; medians are printed.
//
// The icon is found by walking the X window tree every 2 ms for a viewable window whose class is
// the program's. No engine runs: OLLAMA_HOST names a closed port, as on a machine where the
// engine is not started yet.

#include "SoundServer.h"
#include "XvfbServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

constexpr int runs = 5;
constexpr auto memoryAfter = std::chrono::seconds(5);

/// Whether a viewable window of class "kestrin-ai" is anywhere under @p window.
bool hasIcon(xcb_connection_t *connection, xcb_window_t window)
{
    xcb_query_tree_reply_t *tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr);
    if (!tree)
        return false;
    const xcb_window_t *children = xcb_query_tree_children(tree);
    const int count = xcb_query_tree_children_length(tree);
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
        xcb_get_window_attributes_reply_t *attributes =
            xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, children[i]), nullptr);
        const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        free(attributes);
        if (!viewable)
            continue;
        xcb_get_property_reply_t *wmClass = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, children[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64), nullptr);
        if (wmClass) {
            const int length = xcb_get_property_value_length(wmClass);
            const char *value = static_cast<const char *>(xcb_get_property_value(wmClass));
            found = length >= 10 && std::memcmp(value, "kestrin-ai", 10) == 0;
            free(wmClass);
        }
        found = found || hasIcon(connection, children[i]);
    }
    free(tree);
    return found;
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

struct Run
{
    double toIconMs;
    double residentMB;
};

std::optional<Run> startOnce(const QString &program, const QProcessEnvironment &environment, xcb_connection_t *x)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program);
    if (!process.waitForStarted(10000))
        return std::nullopt;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    while (!hasIcon(x, root)) {
        if (clock.elapsed() > 20000 || process.state() != QProcess::Running)
            return std::nullopt;
        QThread::msleep(2);
    }
    Run run{clock.nsecsElapsed() / 1e6, 0};
    QThread::msleep(std::max<qint64>(0, std::chrono::milliseconds(memoryAfter).count() - clock.elapsed()));
    run.residentMB = residentKiB(process.processId()) / 1024.0;
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(10000))
        process.kill();
    return run;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/../kestrin-ai");

    XvfbServer display;
    if (!display.start({QSize(1920, 1080)})) {
        std::fprintf(stderr, "Xvfb: %s\n", qPrintable(display.error()));
        return 1;
    }
    QProcess tray;
    tray.setProcessEnvironment(display.environment());
    tray.start(QStringLiteral("trayer"), {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                                          "120", "--height", "32", "--SetDockType", "true"});
    if (!tray.waitForStarted(5000)) {
        std::fprintf(stderr, "trayer did not start (apt-get install trayer)\n");
        return 1;
    }
    QThread::msleep(500);
    xcb_connection_t *x = xcb_connect(qPrintable(display.display()), nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "cannot connect to %s\n", qPrintable(display.display()));
        return 1;
    }

    QTemporaryDir home;
    QProcessEnvironment base = display.environment();
    base.insert(QStringLiteral("HOME"), home.path());
    base.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    base.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    base.insert(QStringLiteral("OLLAMA_HOST"), QStringLiteral("127.0.0.1:9"));
    base.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));
    QDir().mkpath(home.filePath(QStringLiteral("runtime")));
    QFile::setPermissions(home.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    base.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));

    std::printf("Cold start under Xvfb with a tray host, %d runs each (median)\n", runs);
    std::printf("%-16s %14s %16s\n", "wake words", "to tray icon", "resident at 5 s");
    for (const bool wakeWords : {false, true}) {
        SoundServer sound;
        QProcessEnvironment environment = base;
        if (wakeWords) {
            if (!sound.start()) {
                std::fprintf(stderr, "PulseAudio: %s\n", qPrintable(sound.error()));
                return 1;
            }
            environment.insert(QStringLiteral("PULSE_SERVER"), sound.serverAddress());
        } else {
            environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent"));
        }
        QList<double> times;
        QList<double> memory;
        for (int i = 0; i < runs; ++i) {
            const std::optional<Run> run = startOnce(program, environment, x);
            if (!run) {
                std::fprintf(stderr, "the tray icon did not appear\n");
                return 1;
            }
            times << run->toIconMs;
            memory << run->residentMB;
        }
        std::printf("%-16s %11.0f ms %13.1f MB\n", wakeWords ? "on" : "off", median(times), median(memory));
        const QByteArray log = [&] {
            QFile file(home.filePath(QStringLiteral("data/Kestrin AI/kestrin.log")));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        const bool listened = log.contains("WakeWordListener session began");
        std::printf("%-16s listener %s\n", "", listened ? "ran" : "did not run");
        QFile::remove(home.filePath(QStringLiteral("data/Kestrin AI/kestrin.log")));
    }
    std::printf("targets: under 400 ms to the first window, under 200 MB resident with wake words on\n");
    xcb_disconnect(x);
    tray.terminate();
    tray.waitForFinished(3000);
    return 0;
}
