#pragma once

#include "LaunchOptions.h"
#include "OrbPresenter.h"

#include <QObject>

#include <functional>
#include <memory>

class ChatViewModel;
class CommandRouter;
class ConfirmWindowController;
class MapPresenter;
class EdgePanelController;
class MapWindowController;
class OrbWindowController;
class PanelState;
class SettingsWindowController;
class SetupModel;
class SetupWindowController;
class TaskListWindowController;
class UserDefaults;
class WakeWordListener;

/// The program's spine: owns one of every long-lived component, wires their callbacks to one
/// another and applies the launch flags. Its own rules are few: when to preload the text model
/// (once per process), when to open the setup window at launch, and how the voice orb and the
/// panel's pin follow the voice and chat activity.
///
/// Windows are its own unless handed in as Windows (tests hand in doubles).
///
/// Thread: main. Every callback it installs holds it weakly.
class Orchestrator : public QObject
{
    Q_OBJECT

public:
    static inline const QString didSeeSetupKey = QStringLiteral("didSeeSetup");

    struct Windows
    {
        OrbPresenter *orb = nullptr;
        MapPresenter *map = nullptr;
        std::function<void()> showEdgePanel;
        std::function<void(SetupModel *model)> showSetup;
        std::function<void(std::function<void()> onOpenSetup)> showSettings;
    };

    /// Components tests replace; an empty one gets the machine's own.
    struct Parts
    {
        std::unique_ptr<ChatViewModel> chatVM;
        std::unique_ptr<WakeWordListener> wakeListener;
        std::unique_ptr<SetupModel> setup;
        std::unique_ptr<TaskListWindowController> taskList;
        UserDefaults *defaults = nullptr; // nullptr: UserDefaults::standard()
    };

    Orchestrator();
    Orchestrator(Windows windows, Parts parts, QObject *parent = nullptr);
    ~Orchestrator() override;

    /// The start sequence: panel, engine monitoring, router, wake words, orb, preload, setup
    /// window if needed, then @p options. Called once.
    void start(const LaunchOptions &options);
    /// Also applies the flags a later launch hands over.
    void applyLaunchFlags(const LaunchOptions &options);

    void togglePanel();
    void showTasks();
    void showSetup();
    void showSettings();
    bool isWakeWordActive() const;
    /// Stops listening, or starts it and opens the setup window when it cannot start.
    void toggleWakeWordListening();
    /// Stops the neural voice server.
    void shutdown();

    bool didPreload() const { return m_didPreload; }

    PanelState *panelState() const { return m_panelState.get(); }
    ChatViewModel *chatVM() const { return m_chatVM.get(); }
    SetupModel *setup() const { return m_setup.get(); }
    WakeWordListener *wakeListener() const { return m_wakeListener.get(); }
    TaskListWindowController *taskList() const { return m_taskList.get(); }
    ConfirmWindowController *confirm() const { return m_confirm.get(); }
    /// Made on first use.
    CommandRouter *router();

private:
    void wireWakeWords();
    void wireOrb();
    void updateOrb(bool listening, bool speaking, bool thinking, bool streaming);
    void preloadWhenReady();
    void showSetupIfNeeded();
    void presentOrb(OrbState state, const QColor &accent, const QString &label, std::function<void()> onCancel);
    void dismissOrb();

    Windows m_windows;
    UserDefaults *m_defaults;
    std::unique_ptr<PanelState> m_panelState;
    std::unique_ptr<ChatViewModel> m_chatVM;
    std::unique_ptr<SetupModel> m_setup;
    std::unique_ptr<WakeWordListener> m_wakeListener;
    std::unique_ptr<TaskListWindowController> m_taskList;
    std::unique_ptr<ConfirmWindowController> m_confirm;
    std::unique_ptr<MapWindowController> m_mapWindow; // unless Windows gives another
    std::unique_ptr<OrbWindowController> m_orbWindow; // unless Windows gives another
    std::unique_ptr<EdgePanelController> m_edgePanel;  // unless Windows gives showEdgePanel
    std::unique_ptr<SetupWindowController> m_setupWindow;       // unless Windows gives showSetup
    std::unique_ptr<SettingsWindowController> m_settingsWindow; // unless Windows gives showSettings
    std::unique_ptr<CommandRouter> m_router;
    bool m_didPreload = false;
};
