#pragma once

#include "Orchestrator.h"

#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

/// The application's delegate: the launch line, the tray icon with its status menu, starting
/// the orchestrator once launching has finished and shutting it down when the program ends.
///
/// Thread: main.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    /// Creates the orchestrator and its components.
    AppDelegate();
    AppDelegate(Orchestrator::Windows windows, Orchestrator::Parts parts, QObject *parent = nullptr);
    ~AppDelegate() override;

    /// Logs the launch, shows the tray icon with its menu and starts the orchestrator.
    void applicationDidFinishLaunching(const LaunchOptions &options);
    /// Stops what outlives the process otherwise (the neural voice server).
    void applicationWillTerminate();

    Orchestrator *orchestrator() const { return m_orchestrator.get(); }
    QSystemTrayIcon *statusItem() const { return m_statusItem; }
    QMenu *statusMenu() const { return m_menu.get(); }
    QAction *wakeWordItem() const { return m_wakeWordItem; }

    /// The tray image: the brand mark, or the theme's sidebar icon if it cannot be drawn.
    static QIcon statusIcon();

private:
    void buildStatusMenu();
    void menuWillOpen();

    std::unique_ptr<Orchestrator> m_orchestrator;
    std::unique_ptr<QMenu> m_menu; // a QMenu has no parent widget here
    QSystemTrayIcon *m_statusItem = nullptr;
    QAction *m_wakeWordItem = nullptr;
};
