#include "Orchestrator.h"

#include "AgentModel.h"
#include "ChatViewModel.h"
#include "CommandRouter.h"
#include "ConfirmWindowController.h"
#include "DebugLog.h"
#include "EdgePanelController.h"
#include "MapWindowController.h"
#include "OllamaClient.h"
#include "OrbWindowController.h"
#include "PanelState.h"
#include "SettingsWindowController.h"
#include "SetupModel.h"
#include "SetupWindowController.h"
#include "SpeechManager.h"
#include "TaskListWindowController.h"
#include "Theme.h"
#include "UserDefaults.h"
#include "WakeWordListener.h"

#include <QPointer>

namespace {

QColor accentOf(WakeWord word)
{
    switch (word.value()) {
    case WakeWord::oryn:
        return Theme::oryn();
    case WakeWord::tarvik:
        return Theme::tarvik();
    case WakeWord::kestrin:
        return Theme::kestrin();
    }
    return Theme::oryn();
}

OrbState orbStateNamed(const QString &word)
{
    const QString state = LaunchOptions::orbState(word);
    if (state == u"thinking")
        return OrbState::thinking;
    if (state == u"speaking")
        return OrbState::speaking;
    return OrbState::listening;
}

} // namespace

Orchestrator::Orchestrator() : Orchestrator(Windows{}, Parts{}) { }

Orchestrator::Orchestrator(Windows windows, Parts parts, QObject *parent)
    : QObject(parent)
    , m_windows(std::move(windows))
    , m_defaults(parts.defaults ? parts.defaults : &UserDefaults::standard())
    , m_panelState(std::make_unique<PanelState>())
    , m_chatVM(parts.chatVM ? std::move(parts.chatVM) : std::make_unique<ChatViewModel>())
    , m_setup(parts.setup ? std::move(parts.setup) : std::make_unique<SetupModel>())
    , m_wakeListener(parts.wakeListener ? std::move(parts.wakeListener) : std::make_unique<WakeWordListener>())
    , m_taskList(parts.taskList ? std::move(parts.taskList) : std::make_unique<TaskListWindowController>())
    , m_confirm(std::make_unique<ConfirmWindowController>())
{
    if (!m_windows.map) {
        m_mapWindow = std::make_unique<MapWindowController>();
        m_windows.map = m_mapWindow.get();
    }
    if (!m_windows.orb) {
        m_orbWindow = std::make_unique<OrbWindowController>(); // its window comes with the first present
        m_windows.orb = m_orbWindow.get();
    }
    if (!m_windows.showSetup) {
        m_setupWindow = std::make_unique<SetupWindowController>(m_defaults);
        m_windows.showSetup = [window = m_setupWindow.get()](SetupModel *model) { window->show(model); };
    }
    if (!m_windows.showSettings) {
        m_settingsWindow = std::make_unique<SettingsWindowController>();
        m_windows.showSettings = [window = m_settingsWindow.get()](std::function<void()> onOpenSetup) {
            window->show(std::move(onOpenSetup));
        };
    }
    if (!m_windows.showEdgePanel) {
        const QPointer self(this);
        m_edgePanel = std::make_unique<EdgePanelController>(
            m_panelState.get(), m_chatVM.get(), m_setup.get(),
            [self] {
                if (self)
                    self->showSetup();
            },
            [self] {
                if (self)
                    self->showSettings();
            });
        m_windows.showEdgePanel = [panel = m_edgePanel.get()] { panel->show(); };
    }
}

Orchestrator::~Orchestrator() = default;

CommandRouter *Orchestrator::router()
{
    if (!m_router)
        m_router = std::make_unique<CommandRouter>(m_chatVM.get(), m_panelState.get(), m_windows.map,
                                                   m_taskList.get(), m_confirm.get());
    return m_router.get();
}

void Orchestrator::start(const LaunchOptions &options)
{
    if (m_windows.showEdgePanel)
        m_windows.showEdgePanel();
    m_setup->startMonitoring(SetupModel::defaultMonitoringInterval);
    router()->onNonChatActionHandled = [self = QPointer(this)] {
        if (self)
            self->dismissOrb();
    };
    wireWakeWords();
    wireOrb();
    preloadWhenReady();
    showSetupIfNeeded();
    applyLaunchFlags(options);
}

void Orchestrator::applyLaunchFlags(const LaunchOptions &options)
{
    if (options.demo)
        m_chatVM->loadDemoConversation();
    if (options.kestrin)
        m_chatVM->setSelectedModel(AgentModel::kestrin);
    if (options.expand) {
        m_panelState->peek();
        m_panelState->setPinned(true);
    }
    if (options.setup)
        showSetup();
    if (options.settings)
        showSettings();
    if (options.tasks)
        showTasks();
    if (options.map)
        m_windows.map->show(*options.map, {});
    if (options.orb)
        presentOrb(orbStateNamed(*options.orb), Theme::tarvik(), LaunchOptions::orbLabel(*options.orb), [] { });
}

void Orchestrator::togglePanel()
{
    if (m_panelState->isExpanded())
        m_panelState->collapseNow();
    else
        m_panelState->peek();
}

void Orchestrator::showTasks()
{
    m_taskList->show();
}

void Orchestrator::showSetup()
{
    if (m_windows.showSetup)
        m_windows.showSetup(m_setup.get());
}

void Orchestrator::showSettings()
{
    if (m_windows.showSettings)
        m_windows.showSettings([self = QPointer(this)] {
            if (self)
                self->showSetup();
        });
}

bool Orchestrator::isWakeWordActive() const
{
    return m_wakeListener->isActive();
}

void Orchestrator::toggleWakeWordListening()
{
    if (m_wakeListener->isActive())
        m_wakeListener->stop();
    else if (!m_wakeListener->start())
        showSetup();
}

void Orchestrator::shutdown()
{
    m_chatVM->speech()->shutdown();
}

void Orchestrator::wireWakeWords()
{
    const QPointer self(this);
    m_wakeListener->onWake = [self](WakeWord word, const QString &command) {
        if (self)
            self->router()->handle(word, command);
    };
    m_wakeListener->onWakeWordHeard = [self](WakeWord word) {
        if (!self)
            return;
        self->presentOrb(OrbState::listening, accentOf(word), QStringLiteral("Listening"), [self] {
            if (!self)
                return;
            self->m_chatVM->cancelCurrent();
            self->dismissOrb();
        });
    };
    m_wakeListener->onWakeWordGaveUp = [self] {
        if (self)
            self->dismissOrb();
    };
    m_wakeListener->start();
    connect(AppNotifier::shared(), &AppNotifier::voiceAccessGranted, this, [this] { m_wakeListener->start(); });
}

void Orchestrator::wireOrb()
{
    const auto changed = [this] {
        updateOrb(m_chatVM->speech()->isListening(), m_chatVM->speech()->isSpeaking(), m_chatVM->isThinking(),
                  m_chatVM->isStreaming());
    };
    connect(m_chatVM->speech(), &SpeechManager::isListeningChanged, this, changed);
    connect(m_chatVM->speech(), &SpeechManager::isSpeakingChanged, this, changed);
    connect(m_chatVM.get(), &ChatViewModel::isThinkingChanged, this, changed);
    connect(m_chatVM.get(), &ChatViewModel::isStreamingChanged, this, changed);
    changed();
}

void Orchestrator::updateOrb(bool listening, bool speaking, bool thinking, bool streaming)
{
    // While the panel is open any voice or chat activity keeps it open.
    m_panelState->setPinned(m_panelState->isExpanded() && (listening || speaking || thinking || streaming));

    OrbState state;
    QString label;
    if (speaking) {
        state = OrbState::speaking;
        label = m_chatVM->activeLabel();
    } else if (thinking && m_chatVM->voiceDriven()) {
        // A typed request never shows the orb by itself.
        state = OrbState::thinking;
        label = QStringLiteral("Thinking");
    } else if (listening) {
        state = OrbState::listening;
        label = QStringLiteral("Listening");
    } else {
        dismissOrb();
        return;
    }
    presentOrb(state, m_chatVM->activeAccent(), label, [self = QPointer(this)] {
        if (self)
            self->m_chatVM->cancelCurrent();
    });
}

void Orchestrator::preloadWhenReady()
{
    const auto check = [this] {
        if (m_didPreload || m_setup->ollama() != SetupModel::OllamaState::running || !m_setup->textInstalled())
            return;
        // Once per process: a later restart of the engine loads the model on the first request.
        m_didPreload = true;
        DebugLog::log(QStringLiteral("Preloading ") + ModelCatalog::text);
        OllamaClient::preload(ModelCatalog::text, this);
    };
    connect(m_setup.get(), &SetupModel::ollamaChanged, this, check);
    connect(m_setup.get(), &SetupModel::textInstalledChanged, this, check);
    check();
}

void Orchestrator::showSetupIfNeeded()
{
    m_setup->refresh([self = QPointer(this)] {
        if (!self)
            return;
        const bool didSeeSetup = self->m_defaults->boolean(didSeeSetupKey).value_or(false);
        if (!didSeeSetup || !self->m_setup->engineReady())
            self->showSetup();
    });
}

void Orchestrator::presentOrb(OrbState state, const QColor &accent, const QString &label,
                              std::function<void()> onCancel)
{
    if (m_windows.orb)
        m_windows.orb->present(state, accent, label, std::move(onCancel));
}

void Orchestrator::dismissOrb()
{
    if (m_windows.orb)
        m_windows.orb->dismissAfterSpeaking();
}
