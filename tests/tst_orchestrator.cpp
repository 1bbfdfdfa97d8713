// The orchestrator and the tray menu: launch flags, the orb and pin rules, the wake-word wiring,
// the one preload per process and the setup window at launch, against the test engine.

#include "AgentModel.h"
#include "AppDelegate.h"
#include "ChatMessageList.h"
#include "ChatViewModel.h"
#include "CommandRouter.h"
#include "FakeVoice.h"
#include "FileAudioEngine.h"
#include "MapPresenter.h"
#include "OllamaClient.h"
#include "PanelState.h"
#include "Permissions.h"
#include "SetupModel.h"
#include "SpeechManager.h"
#include "SpeechOutput.h"
#include "SpeechRecognizer.h"
#include "TaskListWindowController.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "Theme.h"
#include "UserDefaults.h"
#include "ViewItems.h"
#include "WakeWordListener.h"

#include <QApplication>
#include <QMenu>
#include <QQuickWindow>
#include <QSystemTrayIcon>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>

using namespace std::chrono_literals;
using Reply = TestEngine::Reply;
using TestSupport::setVoiceAccess;

namespace {

/// The windows the orchestrator opens, as one log line per call.
struct Windows : OrbPresenter, MapPresenter
{
    QStringList calls;
    std::function<void()> lastCancel;
    std::function<void()> settingsOpenSetup;

    void present(OrbState state, const QColor &accent, const QString &label, std::function<void()> onCancel) override
    {
        static const char *names[] = {"idle", "listening", "thinking", "speaking"};
        calls << QStringLiteral("orb %1 '%2' %3").arg(names[int(state)], label, accent.name());
        lastCancel = std::move(onCancel);
    }
    void dismissAfterSpeaking() override { calls << QStringLiteral("dismiss"); }
    void show(const QString &place, std::function<void(bool)>) override { calls << QStringLiteral("map '%1'").arg(place); }

    Orchestrator::Windows handles()
    {
        Orchestrator::Windows w;
        w.orb = this;
        w.map = this;
        w.showEdgePanel = [] {};
        w.showSetup = [this](SetupModel *) { calls << QStringLiteral("setup"); };
        w.showSettings = [this](std::function<void()> onOpenSetup) {
            calls << QStringLiteral("settings");
            settingsOpenSetup = std::move(onOpenSetup);
        };
        return w;
    }
    QString last() const { return calls.value(calls.size() - 1); }
};

} // namespace

class OrchestratorTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEngine> m_engine;
    quint16 m_port = 0;
    Windows m_windows;
    UserDefaults *m_defaults = nullptr;
    std::unique_ptr<UserDefaults> m_ownDefaults;
    QTemporaryDir m_dir;

    Orchestrator::Parts parts()
    {
        Orchestrator::Parts parts;
        auto *speech = new SpeechManager(
            std::make_unique<FileAudioEngine>(), [](const QString &locale) { return SpeechRecognizer::create(locale); },
            new SpeechOutput(new FakeVoice, 10ms));
        parts.chatVM = std::make_unique<ChatViewModel>(
            speech, [](QObject *, std::function<void(std::optional<QString>)> done) { done(std::nullopt); });
        parts.wakeListener = std::make_unique<WakeWordListener>(
            std::make_unique<FileAudioEngine>(), [](const QString &locale) { return SpeechRecognizer::create(locale); });
        SetupModel::Platform platform;
        platform.startProcess = [](const QString &, const QStringList &) {}, platform.openUrl = [](const QUrl &) {};
        platform.openVoiceSettings = [] {}, platform.openScreenSettings = [] {};
        platform.requestScreenAccess = [] { return false; };
        platform.defaults = m_defaults;
        parts.setup = std::make_unique<SetupModel>(platform);
        parts.taskList = std::make_unique<TaskListWindowController>(*m_defaults);
        parts.defaults = m_defaults;
        return parts;
    }
    std::unique_ptr<Orchestrator> make() { return std::make_unique<Orchestrator>(m_windows.handles(), parts()); }

    /// An orchestrator started with @p arguments, its first engine check done.
    std::unique_ptr<Orchestrator> started(const QStringList &arguments = {})
    {
        auto o = make();
        QSignalSpy refreshed(o->setup(), &SetupModel::refreshed);
        o->start(LaunchOptions::parse(QStringList{QStringLiteral("kestrin-ai")} + arguments));
        if (!refreshed.wait(5000))
            qWarning("the engine was not checked");
        return o;
    }

    int preloads() const { return int(m_engine->requests("/api/generate").size()); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_engine = std::make_unique<TestEngine>();
        QVERIFY(m_engine->listen());
        m_port = m_engine->port();
        qputenv("OLLAMA_HOST", m_engine->ollamaHost());
    }

    void init()
    {
        if (!m_engine) {
            m_engine = std::make_unique<TestEngine>();
            QVERIFY(m_engine->listen(m_port));
        }
        m_engine->clearScripts();
        m_engine->clearRequests();
        m_engine->setInstalledModels({ModelCatalog::text});
        m_engine->setChatReply({QStringLiteral("Hi "), QStringLiteral("there.")});
        m_windows = {};
        m_ownDefaults = std::make_unique<UserDefaults>(m_dir.filePath(QString::number(QDateTime::currentMSecsSinceEpoch()) + ".json"));
        m_defaults = m_ownDefaults.get();
        m_defaults->set(Orchestrator::didSeeSetupKey, true);
        setVoiceAccess(false);
    }

    void statusMenuOrderTitlesAndKeys()
    {
        AppDelegate delegate(m_windows.handles(), parts());
        delegate.applicationDidFinishLaunching(LaunchOptions{});
        const QList<QAction *> items = delegate.statusMenu()->actions();
        QStringList shown;
        for (QAction *item : items)
            shown << (item->isSeparator() ? QStringLiteral("-")
                                          : item->text() + u'|' + item->shortcut().toString(QKeySequence::PortableText));
        QCOMPARE(shown, QStringList({"Show or Hide Panel|Ctrl+A", "Voice Wake Words|Ctrl+W", "Tasks|Ctrl+T", "-",
                                     QStringLiteral("Set Up\u2026|"), QStringLiteral("Settings\u2026|Ctrl+,"), "-",
                                     "Quit Kestrin AI|Ctrl+Q"}));
        QCOMPARE(delegate.statusItem()->toolTip(), QStringLiteral("Kestrin AI"));
        QVERIFY(!delegate.statusItem()->icon().isNull());

        // Without doubles the program's own windows open.
        AppDelegate bare(Orchestrator::Windows{}, parts());
        bare.applicationDidFinishLaunching(LaunchOptions{});
        bare.statusMenu()->actions().at(5)->trigger();
        QTRY_COMPARE(ViewItems::windowsShowing("settingsView"), 1);
        bare.statusMenu()->actions().at(4)->trigger();
        QTRY_COMPARE(ViewItems::windowsShowing("setupView"), 1);

        // The wake-word item follows the listener when the menu opens.
        QAction *item = delegate.wakeWordItem();
        QMenu *menu = delegate.statusMenu();

        // No access: choosing the item tries, fails and opens the setup window.
        m_windows.calls.clear();
        item->trigger();
        QVERIFY(!delegate.orchestrator()->isWakeWordActive());
        QCOMPARE(m_windows.calls, QStringList{"setup"});
        setVoiceAccess(true);
        item->trigger();
        QTRY_VERIFY(delegate.orchestrator()->isWakeWordActive());
        QVERIFY(!item->isChecked()); // the mark is refreshed only when the menu opens
        emit menu->aboutToShow();
        QVERIFY(item->isChecked());
        item->trigger();
        QVERIFY(!delegate.orchestrator()->isWakeWordActive());
        emit menu->aboutToShow();
        QVERIFY(!item->isChecked());
    }

    void launchFlags_data()
    {
        QTest::addColumn<QStringList>("arguments"), QTest::addColumn<QStringList>("calls");
        const QString tarvik = Theme::tarvik().name();
        QTest::newRow("setup") << QStringList{"--setup"} << QStringList{"setup"};
        QTest::newRow("map alone") << QStringList{"--map="} << QStringList{"map ''"};
        QTest::newRow("first map") << QStringList{"--map=Lima", "--map=Oslo"} << QStringList{"map 'Lima'"};
        QTest::newRow("orb thinking") << QStringList{"--orb=thinking"} << QStringList{"orb thinking 'Thinking' " + tarvik};
        QTest::newRow("orb unknown") << QStringList{"--orb=foo"} << QStringList{"orb listening 'Foo' " + tarvik};
        QTest::newRow("orb alone") << QStringList{"--orb="} << QStringList{"orb listening '' " + tarvik};
        QTest::newRow("in order") << QStringList{"--orb=speaking", "--map=Rome", "--settings", "--setup"}
                                  << QStringList{"setup", "settings", "map 'Rome'", "orb speaking 'Speaking' " + tarvik};
    }
    void launchFlags()
    {
        QFETCH(QStringList, arguments); QFETCH(QStringList, calls);
        make()->applyLaunchFlags(LaunchOptions::parse(QStringList{"kestrin-ai"} + arguments));
        QCOMPARE(m_windows.calls, calls);
    }

    void flagsThatChangeTheSession()
    {
        auto o = started({"--demo", "--tasks"});
        QVERIFY(o->chatVM()->messageList()->rowCount() > 0);
        QVERIFY(o->taskList()->window() && o->taskList()->window()->isVisible());
        o->applyLaunchFlags(LaunchOptions::parse({"kestrin-ai", "--kestrin"}));
        QCOMPARE(o->chatVM()->selectedModel().value(), AgentModel::kestrin);
        // The settings window's way to the setup window.
        o->showSettings();
        m_windows.settingsOpenSetup();
        QCOMPARE(m_windows.calls.mid(m_windows.calls.size() - 2), QStringList({"settings", "setup"}));
    }

    void expandPinsUntilActivityChanges()
    {
        auto o = started({"--expand"});
        PanelState *panel = o->panelState();
        QVERIFY(panel->isExpanded());
        QVERIFY(panel->isPinned());
        // The first change of activity recomputes the pin: speaking while open keeps it ...
        o->chatVM()->speech()->speak(QStringLiteral("Hello."));
        QTRY_VERIFY(o->chatVM()->speech()->isSpeaking());
        QVERIFY(panel->isPinned());
        // ... and silence releases it.
        QTRY_VERIFY(!o->chatVM()->speech()->isSpeaking());
        QVERIFY(!panel->isPinned());
        // Activity while collapsed never pins.
        panel->collapseNow();
        o->chatVM()->speech()->speak(QStringLiteral("Again."));
        QTRY_VERIFY(o->chatVM()->speech()->isSpeaking());
        QVERIFY(!panel->isPinned());
    }

    void orbFollowsVoiceNotTypedRequests()
    {
        auto o = started();
        ChatViewModel *chat = o->chatVM();
        m_engine->script("/api/chat", Reply{.writes = TestEngine::chatLines(ModelCatalog::text, {"Fine."}), .delay = 400ms});

        // A typed request thinks without the orb.
        m_windows.calls.clear();
        chat->setDraft(QStringLiteral("typed"));
        chat->send();
        QVERIFY(chat->isThinking());
        QVERIFY(!m_windows.calls.join(u' ').contains("thinking"));
        QTRY_VERIFY(!chat->hasCurrentTask());

        // A spoken one shows "Thinking", then the reply is spoken under the agent's label.
        m_windows.calls.clear();
        chat->sendDirect(QStringLiteral("spoken"), AgentModel::oryn, false, true, true);
        QCOMPARE(m_windows.last(), "orb thinking 'Thinking' " + chat->activeAccent().name());
        QTRY_VERIFY(m_windows.last().startsWith("orb speaking '" + chat->activeLabel() + "'"));
        QTRY_COMPARE(m_windows.last(), QStringLiteral("dismiss"));

        // Clicking the orb cancels the chat request.
        chat->sendDirect(QStringLiteral("again"), AgentModel::oryn, false, true, true);
        QVERIFY(chat->hasCurrentTask());
        m_windows.lastCancel();
        QVERIFY(!chat->hasCurrentTask());
        QCOMPARE(m_windows.last(), QStringLiteral("dismiss"));
    }

    void wakeWordCallbacks()
    {
        auto o = started();
        WakeWordListener *listener = o->wakeListener();
        ChatViewModel *chat = o->chatVM();

        listener->onWakeWordHeard(WakeWord::kestrin);
        QCOMPARE(m_windows.last(), "orb listening 'Listening' " + Theme::kestrin().name());
        chat->sendDirect(QStringLiteral("long"), AgentModel::oryn, false, false, false);
        m_windows.calls.clear();
        m_windows.lastCancel(); // heard's cancel: the request goes, then the orb
        QVERIFY(!chat->hasCurrentTask());
        QCOMPARE(m_windows.calls.last(), QStringLiteral("dismiss"));

        m_windows.calls.clear();
        listener->onWakeWordGaveUp();
        QCOMPARE(m_windows.calls, QStringList{"dismiss"});

        // Oryn's command becomes a chat message; Tarvik's task is an action, which dismisses.
        listener->onWake(WakeWord::oryn, QStringLiteral("what is a kestrel"));
        ChatMessageList *list = chat->messageList();
        QCOMPARE(list->data(list->index(list->rowCount() - 1), ChatMessageList::textRole).toString(), "what is a kestrel");
        QTRY_VERIFY(!chat->hasCurrentTask());
        m_windows.calls.clear();
        listener->onWake(WakeWord::tarvik, QStringLiteral("add task water the plants"));
        QVERIFY(m_windows.calls.contains("dismiss"));

        // Access granted later starts the listener.
        QVERIFY(!o->isWakeWordActive());
        setVoiceAccess(true);
        emit AppNotifier::shared()->voiceAccessGranted();
        QTRY_VERIFY(o->isWakeWordActive());
        o->wakeListener()->stop();
    }

    void onePreloadPerProcess()
    {
        // Running without the model: nothing until the download ends, then one preload.
        m_engine->setInstalledModels({});
        auto o = started();
        QCOMPARE(o->setup()->ollama(), SetupModel::OllamaState::running);
        QVERIFY(!o->didPreload());
        o->setup()->pull(ModelCatalog::text);
        QTRY_COMPARE(preloads(), 1);
        QCOMPARE(m_engine->requests("/api/generate").first().json().value("model").toString(), ModelCatalog::text);

        // The engine goes away and comes back: no second preload.
        m_engine.reset();
        o->setup()->refresh();
        QTRY_VERIFY(o->setup()->ollama() != SetupModel::OllamaState::running);
        init();
        o->setup()->refresh();
        QTRY_COMPARE(o->setup()->ollama(), SetupModel::OllamaState::running);
        QTest::qWait(100);
        QCOMPARE(preloads(), 0);
    }

    void setupWindowAtLaunch_data()
    {
        QTest::addColumn<bool>("didSeeSetup"), QTest::addColumn<bool>("textInstalled"), QTest::addColumn<bool>("shown");
        QTest::newRow("first launch") << false << true << true;
        QTest::newRow("seen, ready") << true << true << false;
        QTest::newRow("seen, model missing") << true << false << true;
    }
    void setupWindowAtLaunch()
    {
        QFETCH(bool, didSeeSetup); QFETCH(bool, textInstalled); QFETCH(bool, shown);
        m_defaults->set(Orchestrator::didSeeSetupKey, didSeeSetup);
        m_engine->setInstalledModels(textInstalled ? QStringList{ModelCatalog::text} : QStringList{});
        auto o = make();
        o->start(LaunchOptions{});
        QTRY_VERIFY(o->setup()->ollama() != SetupModel::OllamaState::checking);
        QTest::qWait(50); // both launch refreshes have answered
        QCOMPARE(m_windows.calls.contains("setup"), shown);
    }
};

int main(int argc, char *argv[])
{
    TestSupport::isolateHome();
    QApplication app(argc, argv);
    OrchestratorTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_orchestrator.moc"
