// The router with the real chat session (against the test engine), shell, task store,
// confirmation window and application launcher; a stand-in voice and globe.

#include "AppPaths.h"
#include "ChatViewModel.h"
#include "CommandRouter.h"
#include "ConfirmWindowController.h"
#include "ConversationStore.h"
#include "FakeVoice.h"
#include "FileAudioEngine.h"
#include "MapPresenter.h"
#include "PanelState.h"
#include "SettingsStore.h"
#include "SpeechOutput.h"
#include "SpeechRecognizer.h"
#include "TaskListWindowController.h"
#include "TaskStore.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QSignalSpy>

using namespace std::chrono_literals;

namespace {

/// Knows every place but Atlantis, and answers later.
class FakeMap : public MapPresenter
{
public:
    QStringList asked;
    void show(const QString &place, std::function<void(bool)> completion) override
    {
        asked << place;
        QTimer::singleShot(10, QCoreApplication::instance(), [completion, place] { completion(place != QLatin1String("atlantis")); });
    }
};

/// What a Tarvik request should lead to.
struct Outcome
{
    QString question; // asked, then confirmed
    QStringList said;
    QStringList places;
    QStringList tasks;
    bool taskWindow = false;
    bool talk = false; // a spoken conversation turn went to the engine
    int actions = 0;
};

} // namespace

Q_DECLARE_METATYPE(Outcome)

class CommandRouterTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEngine> m_engine;
    QTemporaryDir m_applications; // an application folder with nothing in it
    FakeVoice *m_voice = nullptr;
    int m_screenshots = 0;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<ChatViewModel> m_chat;
    std::unique_ptr<PanelState> m_panel;
    std::unique_ptr<FakeMap> m_map;
    std::unique_ptr<TaskListWindowController> m_tasks;
    std::unique_ptr<ConfirmWindowController> m_confirm;
    std::unique_ptr<CommandRouter> m_router;
    int m_actions = 0;
    int m_case = 0;

    /// Answers the question as its buttons do.
    void answer(const char *signal)
    {
        auto *view = qobject_cast<QQuickView *>(m_confirm->window());
        QVERIFY(view && view->rootObject());
        QVERIFY(QMetaObject::invokeMethod(view->rootObject(), signal));
    }

private slots:
    void initTestCase()
    {
        m_engine = std::make_unique<TestEngine>();
        QVERIFY(m_engine->listen());
        qputenv("OLLAMA_HOST", m_engine->ollamaHost());
        qputenv("XDG_DATA_DIRS", QFile::encodeName(m_applications.path()));
    }

    void init()
    {
        m_engine->clearRequests();
        m_engine->setChatReply({QStringLiteral("Sure.")});
        SettingsStore::shared()->setShellCommandsEnabled(true);
        ConversationStore::waitForPendingSaves();
        QFile::remove(AppPaths::conversations());
        m_voice = new FakeVoice;
        auto *speech = new SpeechManager(std::make_unique<FileAudioEngine>(),
                                         [](const QString &locale) { return SpeechRecognizer::create(locale); },
                                         new SpeechOutput(m_voice, 10ms));
        m_screenshots = 0;
        m_chat = std::make_unique<ChatViewModel>(speech, [this](QObject *context, std::function<void(std::optional<QString>)> done) {
            ++m_screenshots;
            QTimer::singleShot(0, context, [done] { done(QStringLiteral("PICTURE")); });
        });
        QSignalSpy loaded(m_chat.get(), &ChatViewModel::savedConversationLoaded); // each case starts empty
        QVERIFY(loaded.wait(5000));
        m_panel = std::make_unique<PanelState>();
        m_map = std::make_unique<FakeMap>();
        m_defaults = std::make_unique<UserDefaults>(m_applications.filePath(QStringLiteral("defaults%1.json").arg(++m_case)));
        m_tasks = std::make_unique<TaskListWindowController>(*m_defaults);
        m_confirm = std::make_unique<ConfirmWindowController>();
        m_router = std::make_unique<CommandRouter>(m_chat.get(), m_panel.get(), m_map.get(), m_tasks.get(), m_confirm.get());
        m_actions = 0;
        m_router->onNonChatActionHandled = [this] { ++m_actions; };
    }

    void cleanup()
    {
        m_router.reset();
        m_confirm.reset();
        m_tasks.reset();
        m_chat.reset();
        m_defaults.reset();
    }

    void tarvikGrammar_data()
    {
        QTest::addColumn<QString>("text"), QTest::addColumn<bool>("shellOn"), QTest::addColumn<Outcome>("outcome");
        const QString notFound = QStringLiteral("I couldn't find an app called %1.");
        QTest::newRow("run, letter case kept") << "Run printf 'A b'" << true << Outcome{"Run `printf 'A b'`?", {"A b"}, {}, {}, false, false, 1};
        QTest::newRow("run without a blank is talk") << "run" << true << Outcome{{}, {}, {}, {}, false, true, 0};
        QTest::newRow("shell off refuses, even empty") << "RUN   " << false << Outcome{{}, {CommandRouter::shellOffReply}, {}, {}, false, false, 1};
        QTest::newRow("shell on, nothing to run") << "RUN   " << true << Outcome{};
        QTest::newRow("open, each word capitalised") << "Open visual STUDIO" << true << Outcome{"Open Visual Studio?", {notFound.arg(QStringLiteral("visual studio"))}, {}, {}, false, false, 1};
        QTest::newRow("open comes before tasks") << "open my task list" << true << Outcome{"Open My Task List?", {notFound.arg(QStringLiteral("my task list"))}, {}, {}, false, false, 1};
        QTest::newRow("open with nothing") << "open  " << true << Outcome{};
        QTest::newRow("map: phrase order decides") << "Map of The town in the north" << true << Outcome{{}, {}, {"the town in the north"}, {}, false, false, 1};
        QTest::newRow("map: no phrase, word removed") << "show me paris on the map" << true << Outcome{{}, {}, {"show me paris on the"}, {}, false, false, 1};
        QTest::newRow("map alone") << "map" << true << Outcome{};
        QTest::newRow("place not found") << "map of atlantis" << true << Outcome{{}, {"I couldn't find atlantis on the map."}, {"atlantis"}, {}, false, false, 1};
        QTest::newRow("map wins over task") << "add a task to fetch the map" << true << Outcome{{}, {}, {"fetch the map"}, {}, false, false, 1};
        QTest::newRow("add a task to") << "Add a task to  buy milk\t" << true << Outcome{{}, {}, {}, {"Buy milk"}, true, false, 1};
        QTest::newRow("add task") << "add task call mum" << true << Outcome{{}, {}, {}, {"Call mum"}, true, false, 1};
        QTest::newRow("add, prefix only") << "add a task to " << true << Outcome{{}, {}, {}, {}, true, false, 1};
        QTest::newRow("add, no known prefix") << "add milk to my tasks" << true << Outcome{{}, {}, {}, {"Add milk to my tasks"}, true, false, 1};
        QTest::newRow("a mention shows the list") << "what are my tasks" << true << Outcome{{}, {}, {}, {}, true, false, 1};
        QTest::newRow("anything else is talk") << "how are you" << true << Outcome{{}, {}, {}, {}, false, true, 0};
        QTest::newRow("nothing at all") << "" << true << Outcome{};
    }
    void tarvikGrammar()
    {
        QFETCH(QString, text); QFETCH(bool, shellOn); QFETCH(Outcome, outcome);
        SettingsStore::shared()->setShellCommandsEnabled(shellOn);
        m_router->handle(WakeWord::tarvik, text);
        QCOMPARE(m_actions, outcome.actions);
        QCOMPARE(m_confirm->isShowing(), !outcome.question.isEmpty());
        if (!outcome.question.isEmpty()) {
            QCOMPARE(qobject_cast<QQuickView *>(m_confirm->window())->rootObject()->property("message").toString(), outcome.question);
            answer("confirmed");
        }
        if (outcome.said.isEmpty()) {
            QTest::qWait(50);
            QVERIFY2(m_voice->said.isEmpty() || outcome.talk, qPrintable(m_voice->said.join(u'|')));
        } else {
            QTRY_COMPARE(m_voice->said, outcome.said);
        }
        QCOMPARE(m_map->asked, outcome.places);
        QStringList stored;
        for (const OrynTask &task : m_tasks->store()->tasks())
            stored << task.text();
        QCOMPARE(stored, outcome.tasks);
        QCOMPARE(m_tasks->window() && m_tasks->window()->isVisible(), outcome.taskWindow);
        if (outcome.talk) {
            QTRY_COMPARE(m_engine->requests("/api/chat").size(), 1);
            QVERIFY(m_chat->tarvikConversationActive());
            QTRY_COMPARE(m_voice->said, QStringList{QStringLiteral("Sure.")});
        } else {
            QVERIFY(m_engine->requests().isEmpty());
        }
        QVERIFY(m_chat->messages().isEmpty()); // Tarvik never writes to the transcript
    }

    void cancelledQuestionRunsNothing()
    {
        const QString marker = QDir::temp().filePath(QStringLiteral("kestrin-router-should-not-exist"));
        m_router->handle(WakeWord::tarvik, QStringLiteral("run touch ") + marker);
        QVERIFY(m_confirm->isShowing());
        answer("cancelled");
        QTest::qWait(300);
        QVERIFY(m_voice->said.isEmpty());
        QVERIFY(!QFile::exists(marker));
    }

    void agentsGetChatMessages_data()
    {
        QTest::addColumn<int>("word"), QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("sent"); // empty: nothing sent
        QTest::addColumn<int>("screenshots");
        QTest::newRow("oryn") << int(WakeWord::oryn) << "what time is it" << "what time is it" << 0;
        QTest::newRow("oryn, nothing said") << int(WakeWord::oryn) << "" << "" << 0;
        QTest::newRow("kestrin") << int(WakeWord::kestrin) << "what is this" << "what is this" << 1;
        QTest::newRow("kestrin, nothing said") << int(WakeWord::kestrin) << "" << CommandRouter::screenQuestion << 1;
    }
    void agentsGetChatMessages()
    {
        QFETCH(int, word); QFETCH(QString, command); QFETCH(QString, sent); QFETCH(int, screenshots);
        const WakeWord wake(static_cast<WakeWord::Case>(word));
        m_router->handle(wake, command);
        QCOMPARE(m_actions, 0);
        QCOMPARE(m_panel->isExpanded(), !sent.isEmpty()); // peeked open
        QCOMPARE(m_chat->messages().value(0).text(), sent);
        if (sent.isEmpty())
            return;
        QCOMPARE(m_chat->selectedModel().id(), wake.rawValue());
        QVERIFY(m_chat->voiceDriven());
        QTRY_VERIFY(!m_chat->isThinking() && !m_chat->isStreaming());
        QCOMPARE(m_screenshots, screenshots);
        QVERIFY(m_voice->said.isEmpty()); // the reply is shown, not spoken
    }
};

KESTRIN_GUI_TEST_MAIN(CommandRouterTest)
#include "tst_commandrouter.moc"
