#include "AppDelegate.h"

#include "AppInfo.h"
#include "AppLogo.h"
#include "ChatViewModel.h"
#include "DebugLog.h"
#include "SetupModel.h"
#include "TaskListWindowController.h"
#include "WakeWordListener.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

AppDelegate::AppDelegate() : AppDelegate(Orchestrator::Windows{}, Orchestrator::Parts{}) { }

AppDelegate::AppDelegate(Orchestrator::Windows windows, Orchestrator::Parts parts, QObject *parent)
    : QObject(parent)
    , m_orchestrator(std::make_unique<Orchestrator>(std::move(windows), std::move(parts)))
{
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
}

AppDelegate::~AppDelegate() = default;

QIcon AppDelegate::statusIcon()
{
    const QImage image = AppLogo::statusBarImage();
    if (!image.isNull())
        return QIcon(QPixmap::fromImage(image));
    return QIcon::fromTheme(QStringLiteral("view-right-sidebar"));
}

void AppDelegate::applicationDidFinishLaunching(const LaunchOptions &options)
{
    DebugLog::log(QStringLiteral("=== %1 %2 launched (pid %3) ===")
                      .arg(AppInfo::name, AppInfo::version)
                      .arg(QCoreApplication::applicationPid()));

    m_statusItem = new QSystemTrayIcon(statusIcon(), this);
    m_statusItem->setToolTip(QStringLiteral("Kestrin AI"));
    buildStatusMenu();
    m_statusItem->setContextMenu(m_menu.get());
    // A plain click on the icon does what users expect of a panel app: show or hide it.
    connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_orchestrator->togglePanel();
    });
    m_statusItem->show();

    m_orchestrator->start(options);
}

void AppDelegate::applicationWillTerminate()
{
    m_orchestrator->shutdown();
}

void AppDelegate::buildStatusMenu()
{
    m_menu = std::make_unique<QMenu>();
    Orchestrator *o = m_orchestrator.get();
    const auto item = [this](const QString &title, QKeySequence key, auto action) {
        auto *added = new QAction(title, m_menu.get());
        added->setShortcut(key);
        connect(added, &QAction::triggered, this, action);
        m_menu->addAction(added);
        return added;
    };
    item(QStringLiteral("Show or Hide Panel"), QKeySequence(Qt::CTRL | Qt::Key_A), [o] { o->togglePanel(); });
    m_wakeWordItem = item(QStringLiteral("Voice Wake Words"), QKeySequence(Qt::CTRL | Qt::Key_W),
                          [o] { o->toggleWakeWordListening(); });
    m_wakeWordItem->setCheckable(true);
    item(QStringLiteral("Tasks"), QKeySequence(Qt::CTRL | Qt::Key_T), [o] { o->showTasks(); });
    m_menu->addSeparator();
    item(QStringLiteral("Set Up\u2026"), QKeySequence(), [o] { o->showSetup(); });
    item(QStringLiteral("Settings\u2026"), QKeySequence(Qt::CTRL | Qt::Key_Comma), [o] { o->showSettings(); });
    m_menu->addSeparator();
    item(QStringLiteral("Quit ") + AppInfo::name, QKeySequence(Qt::CTRL | Qt::Key_Q), [] { QCoreApplication::quit(); });
    connect(m_menu.get(), &QMenu::aboutToShow, this, &AppDelegate::menuWillOpen);
}

void AppDelegate::menuWillOpen()
{
    // The mark follows the listener only when the menu opens.
    m_wakeWordItem->setChecked(m_orchestrator->isWakeWordActive());
}
