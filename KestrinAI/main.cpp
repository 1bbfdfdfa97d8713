#include "AppDelegate.h"
#include "AppInfo.h"
#include "AppLogo.h"
#include "ConversationStore.h"
#include "DebugLog.h"
#include "LaunchOptions.h"
#include "QuitOnSignal.h"
#include "SingleInstance.h"
#include "TerminalFrontEnd.h"

#include <QApplication>
#include <QtQml/qqmlextensionplugin.h>

#include <csignal>
#include <cstdio>

#include <unistd.h>

// The views import the program's own QML module, linked in statically.
Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

namespace {

// Placing, stacking and capturing windows needs X11; on a Wayland session run through XWayland
// unless the user chose a platform.
void preferX11()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qgetenv("XDG_SESSION_TYPE") == "wayland")
        qputenv("QT_QPA_PLATFORM", "xcb");
}

// "--export-icon PATH": the icon set as PNG files. Needs no display.
int exportIcons(const QString &folder)
{
    const int written = AppLogo::exportIconSet(folder);
    const int wanted = int(AppLogo::iconSet().size());
    if (written == wanted)
        return 0;
    std::fprintf(stderr, "Could not write %d of %d icons to %s\n", wanted - written, wanted,
                 qPrintable(folder));
    return 1;
}

/// Qt 6.4's PulseAudio backend is torn down by the exit handlers while its mainloop thread can
/// still be dispatching, which now and then crashed a terminal command that had played or
/// recorded sound, after it had done its work; the tray program records and plays too. Nothing
/// of ours waits for those handlers (the log and the settings are written as they change,
/// conversation saves are waited for, the command's output is flushed), so the program leaves
/// without them once its own objects are gone. Not under AddressSanitizer: its leak check runs there.
void leaveWithoutExitHandlers(int status)
{
#ifndef __SANITIZE_ADDRESS__
    std::fflush(nullptr);
    ::_exit(status);
#else
    Q_UNUSED(status);
#endif
}

// The tray program: the edge panel, the tray icon and the voice, until it is told to quit.
int runTray(int &argc, char *argv[])
{
    preferX11();
    QApplication app(argc, argv);
    QApplication::setApplicationName(AppInfo::name);
    QApplication::setApplicationVersion(AppInfo::version);
    QApplication::setDesktopFileName(QStringLiteral("kestrin-ai"));
    // An accessory: it lives in the tray and the edge panel, and closing a window never quits.
    QApplication::setQuitOnLastWindowClosed(false);
    QuitOnSignal::install({SIGINT, SIGTERM});

    // A tray program runs once: a second launch hands its flags over and leaves.
    const LaunchOptions options = LaunchOptions::parse(QApplication::arguments());
    SingleInstance instance;
    if (!instance.claim(options.toArguments()))
        return 0;

    AppDelegate delegate;
    QObject::connect(&instance, &SingleInstance::launchedAgain, &delegate, [&delegate](const QStringList &arguments) {
        DebugLog::log(QStringLiteral("Launched again with: %1").arg(arguments.join(u' ')));
        const LaunchOptions again = LaunchOptions::parse(QStringList{QString()} + arguments);
        // Launching a running tray program again with nothing to do brings it forward.
        if (again == LaunchOptions{})
            delegate.orchestrator()->togglePanel();
        else
            delegate.orchestrator()->applyLaunchFlags(again);
    });
    QMetaObject::invokeMethod(&delegate, [&delegate, options] { delegate.applicationDidFinishLaunching(options); },
                              Qt::QueuedConnection);

    const int status = QApplication::exec();
    // A save requested just before quitting must still reach the disk.
    ConversationStore::waitForPendingSaves();
    DebugLog::log(QStringLiteral("=== %1 quit ===").arg(AppInfo::name));
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (TerminalFrontEnd::handles(arguments)) {
        int status = 0;
        // No second-instance check: a terminal command runs alongside. Only the globe needs a display.
        if (TerminalFrontEnd::showsWindow(arguments)) {
            preferX11();
            QApplication app(argc, argv);
            status = TerminalFrontEnd::run(arguments);
        } else {
            QCoreApplication app(argc, argv);
            status = TerminalFrontEnd::run(arguments);
        }
        leaveWithoutExitHandlers(status);
        return status;
    }
    if (const LaunchOptions early = LaunchOptions::parse(arguments); early.exportIconPath) {
        QCoreApplication app(argc, argv);
        return exportIcons(*early.exportIconPath);
    }

    const int status = runTray(argc, argv);
    leaveWithoutExitHandlers(status);
    return status;
}
