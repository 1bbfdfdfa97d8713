#include "AppInfo.h"
#include "ConversationStore.h"
#include "DebugLog.h"
#include "LaunchOptions.h"
#include "QuitOnSignal.h"
#include "SingleInstance.h"
#include "TerminalFrontEnd.h"

#include <QApplication>
#include <QtQml/qqmlextensionplugin.h>

#include <csignal>

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

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (TerminalFrontEnd::handles(arguments)) {
        // No display, no windows, no second-instance check: a terminal command runs alongside.
        QCoreApplication app(argc, argv);
        return TerminalFrontEnd::run(arguments);
    }

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
    QObject::connect(&instance, &SingleInstance::launchedAgain, &app, [](const QStringList &arguments) {
        DebugLog::log(QStringLiteral("Launched again with: %1").arg(arguments.join(u' ')));
    });

    DebugLog::log(QStringLiteral("=== %1 %2 launched (pid %3) ===")
                      .arg(AppInfo::name, AppInfo::version)
                      .arg(QApplication::applicationPid()));

    const int status = QApplication::exec();
    // A save requested just before quitting must still reach the disk.
    ConversationStore::waitForPendingSaves();
    DebugLog::log(QStringLiteral("=== %1 quit ===").arg(AppInfo::name));
    return status;
}
