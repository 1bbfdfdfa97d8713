// The command router: every kind of request after a wake word, with the real chat session
// (against the test engine), shell, task store, confirmation window and application launcher,
// a stand-in voice and a stand-in globe.

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
#include <QTemporaryDir>

using namespace std::chrono_literals;

namespace {

/// The globe: knows a few places, answers later.
class FakeMap : public MapPresenter
{
public:
    QStringList asked;

    void show(const QString &place, std::function<void(bool)> completion) override
    {
        asked << place;
        const bool found = place != QLatin1String("atlantis");
        QTimer::singleShot(10, qApp, [completion, found] { completion(found); });
    }
};

/// Every text shown by the items of @p item and its descendants.
QStringList shownTexts(QQuickItem *item)
{
    QStringList texts;
    if (!item)
        return texts;
    const QVariant text = item->property("text");
    if (text.isValid() && !text.toString().isEmpty())
        texts << text.toString();
    for (QQuickItem *child : item->childItems())
        texts << shownTexts(child);
    return texts;
}

} // namespace

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
        // Each case starts from an empty conversation, read before the case begins.
        QSignalSpy loaded(m_chat.get(), &ChatViewModel::savedConversationLoaded);
        QVERIFY(loaded.wait(5000));
        m_panel = std::make_unique<PanelState>();
        m_map = std::make_unique<FakeMap>();
        m_defaults = std::make_unique<UserDefaults>(QDir::tempPath() + QStringLiteral("/kestrin-router-defaults-%1.json").arg(QCoreApplication::applicationPid()));
        m_defaults->remove(QStringLiteral("oryn.tasks"));
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
        QFile::remove(m_defaults->filePath());
        m_defaults.reset();
    }

    void tarvikGrammar_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("shellOn");
        QTest::addColumn<QString>("question"); // asked and confirmed; empty: no question
        QTest::addColumn<QStringList>("spoken");
        QTest::addColumn<QStringList>("places");
        QTest::addColumn<QStringList>("tasks");
        QTest::addColumn<bool>("taskWindow");
        QTest::addColumn<bool>("conversation"); // a spoken turn went to the engine
        QTest::addColumn<int>("actions");

        const QStringList none;
        QTest::newRow("run, confirmed") << QStringLiteral("Run echo Hi") << true << QStringLiteral("Run `echo Hi`?")
                                        << QStringList{QStringLiteral("Hi")} << none << none << false << false << 1;
        QTest::newRow("run keeps the letter case") << QStringLiteral("run printf 'A b'") << true << QStringLiteral("Run `printf 'A b'`?")
                                                   << QStringList{QStringLiteral("A b")} << none << none << false << false << 1;
        QTest::newRow("run without a blank is talk") << QStringLiteral("run") << true << QString() << none << none << none << false << true << 0;
        QTest::newRow("shell off refuses, even empty") << QStringLiteral("RUN   ") << false << QString()
                                                       << QStringList{CommandRouter::shellOffReply} << none << none << false << false << 1;
        QTest::newRow("shell on, nothing to run") << QStringLiteral("RUN   ") << true << QString() << none << none << none << false << false << 0;
        QTest::newRow("open, not installed") << QStringLiteral("Open Safari") << true << QStringLiteral("Open Safari?")
                                             << QStringList{QStringLiteral("I couldn't find an app called safari.")} << none << none << false << false << 1;
        QTest::newRow("open, each word capitalised") << QStringLiteral("open visual studio code") << true << QStringLiteral("Open Visual Studio Code?")
                                                     << QStringList{QStringLiteral("I couldn't find an app called visual studio code.")} << none << none
                                                     << false << false << 1;
        QTest::newRow("open comes before tasks") << QStringLiteral("open my task list") << true << QStringLiteral("Open My Task List?")
                                                 << QStringList{QStringLiteral("I couldn't find an app called my task list.")} << none << none << false
                                                 << false << 1;
        QTest::newRow("open with nothing") << QStringLiteral("open  ") << true << QString() << none << none << none << false << false << 0;
        QTest::newRow("map of") << QStringLiteral("show me a map of Tokyo") << true << QString() << none << QStringList{QStringLiteral("tokyo")}
                                << none << false << false << 1;
        QTest::newRow("phrase order decides") << QStringLiteral("map of the town in the north") << true << QString() << none
                                              << QStringList{QStringLiteral("the town in the north")} << none << false << false << 1;
        QTest::newRow("no phrase: map removed") << QStringLiteral("show me paris on the map") << true << QString() << none
                                                << QStringList{QStringLiteral("show me paris on the")} << none << false << false << 1;
        QTest::newRow("map alone") << QStringLiteral("map") << true << QString() << none << none << none << false << false << 0;
        QTest::newRow("place not found") << QStringLiteral("map of atlantis") << true << QString()
                                         << QStringList{QStringLiteral("I couldn't find atlantis on the map.")} << QStringList{QStringLiteral("atlantis")}
                                         << none << false << false << 1;
        QTest::newRow("map wins over task") << QStringLiteral("add a task to fetch the map") << true << QString() << none
                                            << QStringList{QStringLiteral("fetch the map")} << none << false << false << 1;
        QTest::newRow("add a task to") << QStringLiteral("Add a task to buy milk") << true << QString() << none << none
                                       << QStringList{QStringLiteral("Buy milk")} << true << false << 1;
        QTest::newRow("add task") << QStringLiteral("add task call mum") << true << QString() << none << none
                                  << QStringList{QStringLiteral("Call mum")} << true << false << 1;
        QTest::newRow("add without a known prefix") << QStringLiteral("add milk to my tasks") << true << QString() << none << none
                                                    << QStringList{QStringLiteral("Add milk to my tasks")} << true << false << 1;
        QTest::newRow("a mention only shows the list") << QStringLiteral("what are my tasks") << true << QString() << none << none << none
                                                       << true << false << 1;
        QTest::newRow("substring, not word") << QStringLiteral("multitasking is hard") << true << QString() << none << none << none << true
                                             << false << 1;
        QTest::newRow("anything else is talk") << QStringLiteral("how are you") << true << QString() << none << none << none << false << true << 0;
        QTest::newRow("nothing at all") << QString() << true << QString() << none << none << none << false << false << 0;
    }

    void tarvikGrammar()
    {
        QFETCH(QString, text);
        QFETCH(bool, shellOn);
        QFETCH(QString, question);
        QFETCH(QStringList, spoken);
        QFETCH(QStringList, places);
        QFETCH(QStringList, tasks);
        QFETCH(bool, taskWindow);
        QFETCH(bool, conversation);
        QFETCH(int, actions);
        SettingsStore::shared()->setShellCommandsEnabled(shellOn);

        m_router->handle(WakeWord::tarvik, text);
        QVERIFY(QString::fromUtf8(TestSupport::readAll(AppPaths::log())).contains(QStringLiteral("command tarvik: \"%1\"\n").arg(text)));
        QCOMPARE(m_actions, actions);
        QCOMPARE(m_confirm->isShowing(), !question.isEmpty());
        if (!question.isEmpty()) {
            QTRY_VERIFY(shownTexts(m_confirm->window()->contentItem()).contains(question));
            answer("confirmed");
        }
        if (spoken.isEmpty()) {
            QTest::qWait(50);
            QVERIFY2(m_voice->said.isEmpty() || conversation, qPrintable(m_voice->said.join(u'|')));
        } else {
            QTRY_COMPARE(m_voice->said, spoken);
        }
        QCOMPARE(m_map->asked, places);
        QStringList stored;
        for (const OrynTask &task : m_tasks->store()->tasks())
            stored << task.text();
        QCOMPARE(stored, tasks);
        QCOMPARE(m_tasks->window() && m_tasks->window()->isVisible(), taskWindow);
        if (conversation) {
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
        m_router->handle(WakeWord::tarvik, QStringLiteral("run touch should-not-exist"));
        QVERIFY(m_confirm->isShowing());
        answer("cancelled");
        QTest::qWait(300);
        QVERIFY(m_voice->said.isEmpty());
        QVERIFY(!QFile::exists(QStringLiteral("should-not-exist")));
    }

    void agentsGetChatMessages_data()
    {
        QTest::addColumn<int>("word");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("sent"); // empty: nothing sent
        QTest::addColumn<int>("screenshots");

        QTest::newRow("oryn") << int(WakeWord::oryn) << QStringLiteral("what time is it") << QStringLiteral("what time is it") << 0;
        QTest::newRow("oryn, nothing said") << int(WakeWord::oryn) << QString() << QString() << 0;
        QTest::newRow("kestrin") << int(WakeWord::kestrin) << QStringLiteral("what is this") << QStringLiteral("what is this") << 1;
        QTest::newRow("kestrin, nothing said") << int(WakeWord::kestrin) << QString() << CommandRouter::screenQuestion << 1;
    }

    void agentsGetChatMessages()
    {
        QFETCH(int, word);
        QFETCH(QString, command);
        QFETCH(QString, sent);
        QFETCH(int, screenshots);
        const WakeWord wake(static_cast<WakeWord::Case>(word));
        m_router->handle(wake, command);
        QCOMPARE(m_actions, 0);
        QVERIFY(QString::fromUtf8(TestSupport::readAll(AppPaths::log())).contains(QStringLiteral("command %1: \"%2\"\n").arg(wake.rawValue(), command)));
        if (sent.isEmpty()) {
            QVERIFY(m_chat->messages().isEmpty());
            QVERIFY(!m_panel->isExpanded());
            return;
        }
        QVERIFY(m_panel->isExpanded()); // peeked open
        QCOMPARE(m_chat->selectedModel().id(), wake.rawValue());
        QCOMPARE(m_chat->messages().value(0).text(), sent);
        QVERIFY(m_chat->voiceDriven());
        QTRY_VERIFY(!m_chat->isThinking() && !m_chat->isStreaming());
        QCOMPARE(m_screenshots, screenshots);
        QVERIFY(m_voice->said.isEmpty()); // the reply is shown, not spoken
    }

    void stripTaskPrefix_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("task");
        QTest::newRow("add a task to") << QStringLiteral("add a task to  buy milk\t") << QStringLiteral("buy milk");
        QTest::newRow("add a task") << QStringLiteral("add a task water plants") << QStringLiteral("water plants");
        QTest::newRow("add task to") << QStringLiteral("add task to call mum") << QStringLiteral("call mum");
        QTest::newRow("no prefix") << QStringLiteral(" add milk to my tasks ") << QStringLiteral("add milk to my tasks");
        QTest::newRow("prefix only") << QStringLiteral("add a task to ") << QString();
    }

    void stripTaskPrefix()
    {
        QFETCH(QString, text);
        QFETCH(QString, task);
        QCOMPARE(CommandRouter::stripTaskPrefix(text), task);
    }
};

KESTRIN_GUI_TEST_MAIN(CommandRouterTest)
#include "tst_commandrouter.moc"
