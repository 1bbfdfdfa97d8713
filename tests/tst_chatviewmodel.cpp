// The chat session against the test engine over real sockets: typed, suggested and routed
// requests, streaming, failures, cancellation, the saved conversation, and the spoken
// conversation with Tarvik (a stand-in system voice, real dictation of generated speech).

#include "AppPaths.h"
#include "ChatViewModel.h"
#include "ConversationStore.h"
#include "DebugLog.h"
#include "FakeVoice.h"
#include "FileAudioEngine.h"
#include "OllamaClient.h"
#include "OllamaTypes.h"
#include "Permissions.h"
#include "SpeechOutput.h"
#include "SpeechRecognizer.h"
#include "SpokenAudio.h"
#include "Theme.h"
#include "TestEngine.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTimer>

using namespace std::chrono_literals;
using Role = ChatMessage::Role;

namespace {

/// The screen, as the chat session asks for it: counts the requests, answers later.
struct FakeScreen
{
    int requests = 0;
    std::optional<QString> image = QStringLiteral("SCREENSHOT");

    ChatViewModel::ScreenCapturer capturer()
    {
        return [this](QObject *context, std::function<void(std::optional<QString>)> done) {
            ++requests;
            QTimer::singleShot(20, context, [done, image = image] { done(image); });
        };
    }
};

QStringList texts(const QList<ChatMessage> &messages)
{
    QStringList list;
    for (const ChatMessage &m : messages)
        list << QString::fromLatin1(m.role() == Role::user ? "user: " : "assistant: ") + m.text();
    return list;
}

QStringList contents(const QList<ChatTurn> &turns)
{
    QStringList list;
    for (const ChatTurn &t : turns)
        list << t.role + QStringLiteral(": ") + t.content;
    return list;
}

/// The "messages" of a chat request as "role: content".
QStringList sentMessages(const TestEngine::Request &request)
{
    QStringList list;
    for (const QJsonValue &m : request.json().value(QStringLiteral("messages")).toArray())
        list << m[QStringLiteral("role")].toString() + QStringLiteral(": ") + m[QStringLiteral("content")].toString();
    return list;
}

QString logText()
{
    return QString::fromUtf8(TestSupport::readAll(AppPaths::log()));
}

ChatTurn turn(const QString &role, qsizetype length)
{
    return {role, QString(length, u'x'), std::nullopt};
}

} // namespace

class ChatViewModelTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEngine> m_engine;
    FakeScreen m_screen;
    FakeVoice *m_voice = nullptr;
    FileAudioEngine *m_microphone = nullptr;
    SpokenAudio m_audio;

    /// A session with the stand-in voice and screen, once the saved conversation was read.
    std::unique_ptr<ChatViewModel> session(bool waitForLoad = true)
    {
        m_voice = new FakeVoice;
        auto microphone = std::make_unique<FileAudioEngine>();
        microphone->setSpeed(2.0);
        microphone->setTrailingSilence(1500ms);
        m_microphone = microphone.get();
        auto *speech = new SpeechManager(
            std::move(microphone), [](const QString &locale) { return SpeechRecognizer::create(locale); },
            new SpeechOutput(m_voice, 10ms));
        auto chat = std::make_unique<ChatViewModel>(speech, m_screen.capturer());
        if (waitForLoad) {
            QSignalSpy loaded(chat.get(), &ChatViewModel::savedConversationLoaded);
            if (!loaded.wait(5000))
                qWarning("the saved conversation was not read");
        }
        return chat;
    }

    static bool idle(const ChatViewModel &chat) { return !chat.isThinking() && !chat.isStreaming() && !chat.hasCurrentTask(); }

    static ConversationSnapshot saved()
    {
        ConversationStore::waitForPendingSaves();
        return ConversationStore::load();
    }

    void sendTyped(ChatViewModel &chat, const QString &text)
    {
        chat.setDraft(text);
        chat.send();
    }

private slots:
    void initTestCase()
    {
        m_engine = std::make_unique<TestEngine>();
        QVERIFY(m_engine->listen());
        qputenv("OLLAMA_HOST", m_engine->ollamaHost());
        Permissions::Sources granted;
        granted.microphone = [] { return Permissions::Authorization::authorized; };
        granted.speech = [] { return Permissions::Authorization::authorized; };
        granted.screenAllowed = [] { return true; };
        granted.requestSpeech = [](std::function<void(bool)> done) { done(true); };
        granted.requestMicrophone = [](std::function<void(bool)> done) { done(true); };
        Permissions::setSources(granted);
    }

    void init()
    {
        ConversationStore::waitForPendingSaves();
        QFile::remove(AppPaths::conversations());
        m_engine->clearScripts();
        m_engine->clearRequests();
        m_engine->setChatReply(TestEngine::words(QStringLiteral("Hello there, friend.")));
        m_screen = FakeScreen();
    }

    // --- typed requests ---

    void blankDraftSendsNothing()
    {
        auto chat = session();
        chat->setDraft(QStringLiteral("  \n\t \n"));
        chat->send();
        QCOMPARE(chat->draft(), QStringLiteral("  \n\t \n"));
        QVERIFY(chat->messages().isEmpty());
        QVERIFY(!chat->isThinking());
        QTest::qWait(50);
        QVERIFY(m_engine->requests().isEmpty());
    }

    void typedRequestStreamsIntoTheTranscriptAndIsSaved()
    {
        auto chat = session();
        QStringList states;
        const auto record = [&] { states << QStringLiteral("%1%2").arg(chat->isThinking()).arg(chat->isStreaming()); };
        connect(chat.get(), &ChatViewModel::isThinkingChanged, this, record);
        connect(chat.get(), &ChatViewModel::isStreamingChanged, this, record);

        sendTyped(*chat, QStringLiteral("  hi there \n"));
        QCOMPARE(chat->draft(), QString());
        QCOMPARE(texts(chat->messages()), QStringList{QStringLiteral("user: hi there")});
        QVERIFY(chat->isThinking());
        QTRY_VERIFY(idle(*chat));

        // thinking, then streaming (the first piece hides the thinking row), then idle
        QCOMPARE(states, (QStringList{QStringLiteral("10"), QStringLiteral("00"), QStringLiteral("01"), QStringLiteral("00")}));
        const QStringList expected{QStringLiteral("user: hi there"), QStringLiteral("assistant: Hello there, friend.")};
        QCOMPARE(texts(chat->messages()), expected);
        QCOMPARE(texts(chat->orynMessages()), expected);
        QCOMPARE(contents(chat->orynHistory()), (QStringList{QStringLiteral("user: hi there"), QStringLiteral("assistant: Hello there, friend.")}));
        QVERIFY(chat->messageList()->count() == 2);

        const auto requests = m_engine->requests("/api/chat");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].json().value(QStringLiteral("model")).toString(), ModelCatalog::text);
        QCOMPARE(sentMessages(requests[0]),
                 (QStringList{QStringLiteral("system: ") + AgentModel(AgentModel::oryn).systemPrompt(), QStringLiteral("user: hi there")}));
        QVERIFY(logText().contains(QStringLiteral("send oryn: \"hi there\" screen=false\n")));

        const ConversationSnapshot file = saved();
        QCOMPARE(texts(file.orynMessages), expected);
        QCOMPARE(file.orynHistory, chat->orynHistory());
        QVERIFY(file.kestrinMessages.isEmpty());
    }

    void kestrinRequests_data()
    {
        QTest::addColumn<bool>("suggestion");
        QTest::addColumn<bool>("attachScreen");
        QTest::addColumn<bool>("screenAvailable");
        QTest::addColumn<int>("captures");
        QTest::addColumn<QString>("image"); // sent with the request; "-" when none is sent

        QTest::newRow("typed, include screen off") << false << false << true << 0 << QString();
        QTest::newRow("typed, include screen on") << false << true << true << 1 << QStringLiteral("SCREENSHOT");
        QTest::newRow("suggestion, include screen off") << true << false << true << 1 << QStringLiteral("SCREENSHOT");
        QTest::newRow("no screenshot to be had") << false << true << false << 1 << QStringLiteral("-");
    }

    void kestrinRequests()
    {
        QFETCH(bool, suggestion);
        QFETCH(bool, attachScreen);
        QFETCH(bool, screenAvailable);
        QFETCH(int, captures);
        QFETCH(QString, image);
        if (!screenAvailable)
            m_screen.image.reset();
        auto chat = session();
        chat->setSelectedModel(AgentModel::kestrin);
        chat->setAttachScreen(attachScreen);
        if (suggestion)
            chat->sendSuggestion(QStringLiteral("What am I looking at?"));
        else
            sendTyped(*chat, QStringLiteral("What am I looking at?"));
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(m_screen.requests, captures);
        QVERIFY(chat->orynMessages().isEmpty());
        QVERIFY(chat->orynHistory().isEmpty());
        QVERIFY(logText().contains(QStringLiteral("send kestrin: \"What am I looking at?\" screen=%1\n").arg(captures ? "true" : "false")));

        const auto requests = m_engine->requests("/api/generate");
        if (image == QLatin1String("-")) {
            QVERIFY(requests.isEmpty());
            QCOMPARE(texts(chat->messages()), (QStringList{QStringLiteral("user: What am I looking at?"),
                                                           QStringLiteral("assistant: ") + ChatViewModel::noScreenText}));
            QCOMPARE(texts(saved().kestrinMessages), texts(chat->messages()));
            return;
        }
        QCOMPARE(requests.size(), 1);
        const QJsonObject body = requests[0].json();
        QCOMPARE(body.value(QStringLiteral("model")).toString(), ModelCatalog::vision);
        QCOMPARE(body.value(QStringLiteral("prompt")).toString(),
                 AgentModel(AgentModel::kestrin).systemPrompt() + QStringLiteral("\n\nRequest: What am I looking at?"));
        if (image.isEmpty())
            QVERIFY(!body.contains(QStringLiteral("images")));
        else
            QCOMPARE(body.value(QStringLiteral("images")).toArray(), QJsonArray{image});
        QCOMPARE(texts(chat->kestrinMessages()), (QStringList{QStringLiteral("user: What am I looking at?"),
                                                              QStringLiteral("assistant: Hello there, friend.")}));
        QVERIFY(chat->orynHistory().isEmpty()); // the vision agent keeps no history
    }

    void routedKestrinRequestSwitchesThePanelFirst()
    {
        auto chat = session();
        QCOMPARE(chat->selectedModel(), AgentModel(AgentModel::oryn));
        QStringList shownAtSwitch;
        connect(chat.get(), &ChatViewModel::selectedModelChanged, this, [&] { shownAtSwitch = texts(chat->messages()); });
        chat->sendDirect(QStringLiteral("What is on my screen right now?"), AgentModel::kestrin, true, false, true);
        QCOMPARE(chat->selectedModel(), AgentModel(AgentModel::kestrin));
        QCOMPARE(shownAtSwitch, QStringList());
        QCOMPARE(texts(chat->messages()), QStringList{QStringLiteral("user: What is on my screen right now?")});
        QVERIFY(chat->voiceDriven());
        QCOMPARE(chat->activeLabel(), QStringLiteral("Kestrin"));
        QCOMPARE(chat->activeAccent(), Theme::kestrin());
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(m_screen.requests, 1);

        // Switching back shows the other transcript, untouched.
        chat->setSelectedModel(AgentModel::oryn);
        QVERIFY(chat->messages().isEmpty());
    }

    // --- the history budget ---

    void historyBudget_data()
    {
        QTest::addColumn<QList<ChatTurn>>("history");
        QTest::addColumn<QList<qsizetype>>("kept"); // the lengths kept, oldest first

        QTest::newRow("3000, 3000, 2000: the newest two") << QList<ChatTurn>{turn(QStringLiteral("user"), 3000), turn(QStringLiteral("assistant"), 3000), turn(QStringLiteral("user"), 2000)}
                                                          << QList<qsizetype>{3000, 2000};
        QTest::newRow("one turn of 9000 is still sent") << QList<ChatTurn>{turn(QStringLiteral("user"), 9000)} << QList<qsizetype>{9000};
        QTest::newRow("an old long turn never follows a newer one") << QList<ChatTurn>{turn(QStringLiteral("user"), 9000), turn(QStringLiteral("assistant"), 10)}
                                                                     << QList<qsizetype>{10};
        QTest::newRow("exactly the budget") << QList<ChatTurn>{turn(QStringLiteral("user"), 1), turn(QStringLiteral("user"), 4000), turn(QStringLiteral("assistant"), 3000)}
                                            << QList<qsizetype>{4000, 3000};
        QTest::newRow("empty") << QList<ChatTurn>{} << QList<qsizetype>{};
    }

    void historyBudget()
    {
        QFETCH(QList<ChatTurn>, history);
        QFETCH(QList<qsizetype>, kept);
        QList<qsizetype> lengths;
        for (const ChatTurn &t : ChatViewModel::trimmedForContext(history))
            lengths << t.content.size();
        QCOMPARE(lengths, kept);
    }

    void budgetCountsWhatAReaderSees()
    {
        // 3,500 accented letters written as letter plus combining accent: 7,000 code units but
        // 3,500 characters, so a second such turn still fits.
        const QString accented = QString(QStringLiteral("e\u0301")).repeated(3500);
        const QList<ChatTurn> history{{QStringLiteral("user"), accented, std::nullopt},
                                      {QStringLiteral("assistant"), accented, std::nullopt}};
        QCOMPARE(ChatViewModel::trimmedForContext(history).size(), 2);
        const QList<ChatTurn> flags{{QStringLiteral("user"), QString(QStringLiteral("\U0001F1EF\U0001F1F5")).repeated(3000), std::nullopt},
                                    {QStringLiteral("user"), QString(4000, u'x'), std::nullopt}};
        QCOMPARE(ChatViewModel::trimmedForContext(flags).size(), 2);
    }

    void requestCarriesTheTrimmedSavedHistory()
    {
        ConversationSnapshot stored;
        stored.orynHistory = {turn(QStringLiteral("user"), 3000), turn(QStringLiteral("assistant"), 3000), turn(QStringLiteral("user"), 2000)};
        QVERIFY(ConversationStore::writeNow(stored, AppPaths::conversations()));
        auto chat = session();
        sendTyped(*chat, QStringLiteral("next"));
        QTRY_VERIFY(idle(*chat));
        const QStringList sent = sentMessages(m_engine->requests("/api/chat").value(0));
        QCOMPARE(sent.size(), 4); // system, 3000, 2000, the new question
        QCOMPARE(sent[1].size(), qsizetype(QStringLiteral("assistant: ").size() + 3000));
        QCOMPARE(sent[2].size(), qsizetype(QStringLiteral("user: ").size() + 2000));
        QCOMPARE(sent[3], QStringLiteral("user: next"));
        // The stored history is the trimmed one plus the exchange.
        QCOMPARE(chat->orynHistory().size(), 4);
    }

    void storedHistoryKeepsTheLastFortyTurns()
    {
        auto chat = session();
        for (int i = 1; i <= 25; ++i) {
            m_engine->setChatReply({QStringLiteral("answer %1").arg(i)});
            sendTyped(*chat, QStringLiteral("question %1").arg(i));
            QTRY_VERIFY(idle(*chat));
        }
        const QList<ChatTurn> history = chat->orynHistory();
        QCOMPARE(history.size(), 40);
        QCOMPARE(history.first().content, QStringLiteral("question 6"));
        QCOMPARE(history.last().content, QStringLiteral("answer 25"));
        QCOMPARE(chat->orynMessages().size(), 50); // the transcript is not capped
        QCOMPARE(saved().orynHistory, history);
    }

    // --- endings ---

    void failures_data()
    {
        QTest::addColumn<TestEngine::Reply>("reply");
        QTest::addColumn<QString>("shown");  // the assistant message
        QTest::addColumn<QString>("logged"); // "" when nothing is logged

        const QString unreachable = OllamaError::unreachable().errorDescription();
        QTest::newRow("no text at all") << TestEngine::Reply::stream({TestEngine::chatFinalLine(ModelCatalog::text)})
                                        << ChatViewModel::noResponseText << QString();
        QTest::newRow("error status") << TestEngine::Reply::json(500, {{QStringLiteral("error"), QStringLiteral("boom")}})
                                      << OllamaError::badResponse(500).errorDescription() << QStringLiteral("stream error: badResponse(500)");
        TestEngine::Reply cut = TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, {QStringLiteral("Half"), QStringLiteral(" a reply")}, false));
        cut.end = TestEngine::Reply::End::CloseMidBody;
        QTest::newRow("cut after some text") << cut << QStringLiteral("Half a reply\n\n") + unreachable
                                             << QStringLiteral("stream error: unreachable");
    }

    void failures()
    {
        QFETCH(TestEngine::Reply, reply);
        QFETCH(QString, shown);
        QFETCH(QString, logged);
        auto chat = session();
        m_engine->script("/api/chat", reply);
        sendTyped(*chat, QStringLiteral("hello"));
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(texts(chat->messages()), (QStringList{QStringLiteral("user: hello"), QStringLiteral("assistant: ") + shown}));
        QVERIFY(chat->orynHistory().isEmpty()); // nothing answered, nothing remembered
        if (!logged.isEmpty())
            QVERIFY2(logText().contains(logged + QLatin1Char('\n')), qPrintable(logText()));
        QVERIFY(m_voice->said.isEmpty());

        // Ready for the next request.
        m_engine->clearScripts();
        sendTyped(*chat, QStringLiteral("again"));
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(chat->messages().last().text(), QStringLiteral("Hello there, friend."));
    }

    void spokenReplyIsSpokenOnceFinished()
    {
        auto chat = session();
        chat->sendDirect(QStringLiteral("hi"), AgentModel::oryn, false, true, true);
        QTRY_VERIFY(idle(*chat));
        QTRY_COMPARE(m_voice->said, QStringList{QStringLiteral("Hello there, friend.")});
    }

    // --- cancelling, clearing, superseding ---

    void cancelKeepsThePartialReply()
    {
        auto chat = session();
        TestEngine::Reply endless = TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, {QStringLiteral("Part"), QStringLiteral("ial")}, false));
        endless.end = TestEngine::Reply::End::Never;
        m_engine->script("/api/chat", endless);
        QSignalSpy closed(m_engine.get(), &TestEngine::connectionClosed);
        chat->sendDirect(QStringLiteral("tell me"), AgentModel::oryn, false, true, false);
        QTRY_COMPARE(chat->messages().size(), 2);
        QTRY_COMPARE(chat->messages().last().text(), QStringLiteral("Partial"));
        QVERIFY(chat->isStreaming());

        chat->cancelCurrent();
        QVERIFY(idle(*chat));
        QTRY_COMPARE(closed.size(), 1); // the request is aborted, not left to run
        QCOMPARE(texts(chat->messages()), (QStringList{QStringLiteral("user: tell me"), QStringLiteral("assistant: Partial")}));
        QCOMPARE(contents(chat->orynHistory()), (QStringList{QStringLiteral("user: tell me"), QStringLiteral("assistant: Partial")}));
        QCOMPARE(texts(saved().orynMessages), texts(chat->messages()));
        QTest::qWait(100);
        QVERIFY(m_voice->said.isEmpty()); // a cancelled reply is not spoken
    }

    void cancelWhileThinkingAddsNothing()
    {
        auto chat = session();
        TestEngine::Reply silent;
        silent.silent = true;
        m_engine->script("/api/chat", silent);
        sendTyped(*chat, QStringLiteral("tell me"));
        QTRY_COMPARE(m_engine->requests("/api/chat").size(), 1);
        chat->cancelCurrent();
        QVERIFY(idle(*chat));
        QCOMPARE(texts(chat->messages()), QStringList{QStringLiteral("user: tell me")});
        QVERIFY(chat->orynHistory().isEmpty());
    }

    void clearingWhileStreaming()
    {
        auto chat = session();
        m_engine->script("/api/chat", TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, TestEngine::words(QStringLiteral("one two three four five six")))
                                                                 , 40ms));
        sendTyped(*chat, QStringLiteral("count"));
        QTRY_VERIFY(chat->isStreaming());
        chat->clear();
        QVERIFY(chat->messages().isEmpty());
        QTRY_VERIFY(idle(*chat));
        QVERIFY(chat->messages().isEmpty()); // later updates find nothing to change
        QVERIFY(chat->orynMessages().isEmpty());
        // The finishing step still records the exchange.
        QCOMPARE(contents(chat->orynHistory()), (QStringList{QStringLiteral("user: count"), QStringLiteral("assistant: one two three four five six")}));
        const ConversationSnapshot file = saved();
        QVERIFY(file.orynMessages.isEmpty());
        QCOMPARE(file.orynHistory, chat->orynHistory());
    }

    void supersededRequestLeavesItsSuccessorAlone()
    {
        auto chat = session();
        TestEngine::Reply first = TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, {QStringLiteral("First"), QStringLiteral(" answer")}, false));
        first.end = TestEngine::Reply::End::Never;
        m_engine->scriptOnce("/api/chat", first);
        TestEngine::Reply second = TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, {QStringLiteral("Second answer")}));
        second.delay = 300ms;
        m_engine->scriptOnce("/api/chat", second);

        sendTyped(*chat, QStringLiteral("first"));
        QTRY_COMPARE(chat->messages().value(1).text(), QStringLiteral("First answer"));
        sendTyped(*chat, QStringLiteral("second"));
        // The first request is over before the second begins: the new request's flags stand.
        QVERIFY(chat->isThinking());
        QVERIFY(!chat->isStreaming());
        QTest::qWait(150);
        QVERIFY(chat->isThinking());
        QTRY_VERIFY(idle(*chat));

        // The second request carried the first exchange, and the history holds both.
        QCOMPARE(sentMessages(m_engine->requests("/api/chat").value(1)).mid(1),
                 (QStringList{QStringLiteral("user: first"), QStringLiteral("assistant: First answer"), QStringLiteral("user: second")}));
        QCOMPARE(contents(chat->orynHistory()),
                 (QStringList{QStringLiteral("user: first"), QStringLiteral("assistant: First answer"), QStringLiteral("user: second"),
                              QStringLiteral("assistant: Second answer")}));
        QCOMPARE(texts(chat->messages()), (QStringList{QStringLiteral("user: first"), QStringLiteral("assistant: First answer"),
                                                       QStringLiteral("user: second"), QStringLiteral("assistant: Second answer")}));
    }

    void streamingUpdatesAreThrottledButComplete()
    {
        auto chat = session();
        QStringList pieces;
        for (int i = 0; i < 400; ++i)
            pieces << QStringLiteral("w%1 ").arg(i);
        m_engine->script("/api/chat", TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, pieces)));
        int updates = 0;
        connect(chat->messageList(), &QAbstractItemModel::dataChanged, this, [&] { ++updates; });
        sendTyped(*chat, QStringLiteral("go"));
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(chat->messages().last().text(), pieces.join(QString()));
        QVERIFY2(updates < 200, qPrintable(QString::number(updates))); // far fewer than the pieces
    }

    void lastPieceShowsWithoutWaitingForTheEnd()
    {
        auto chat = session();
        TestEngine::Reply held = TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, {QStringLiteral("One"), QStringLiteral(" two")}, false));
        held.end = TestEngine::Reply::End::Never;
        m_engine->script("/api/chat", held);
        sendTyped(*chat, QStringLiteral("go"));
        // Both pieces may arrive within the update interval; the screen catches up anyway.
        QTRY_COMPARE(chat->messages().value(1).text(), QStringLiteral("One two"));
        QVERIFY(chat->isStreaming());
    }

    // --- the saved conversation ---

    void savedConversationLoadsAtCreation()
    {
        ConversationSnapshot stored;
        stored.orynMessages = {ChatMessage(Role::user, QStringLiteral("saved question")), ChatMessage(Role::assistant, QStringLiteral("saved answer"))};
        stored.kestrinMessages = {ChatMessage(Role::user, QStringLiteral("look"))};
        stored.orynHistory = {{QStringLiteral("user"), QStringLiteral("saved question"), std::nullopt}};
        QVERIFY(ConversationStore::writeNow(stored, AppPaths::conversations()));
        auto chat = session();
        QCOMPARE(texts(chat->messages()), texts(stored.orynMessages));
        QCOMPARE(texts(chat->kestrinMessages()), texts(stored.kestrinMessages));
        QCOMPARE(chat->orynHistory(), stored.orynHistory);
    }

    void demoIsNotReplacedByTheSavedConversation()
    {
        ConversationSnapshot stored;
        stored.orynMessages = {ChatMessage(Role::user, QStringLiteral("saved question"))};
        QVERIFY(ConversationStore::writeNow(stored, AppPaths::conversations()));
        const QByteArray before = TestSupport::readAll(AppPaths::conversations());
        auto chat = session(false);
        QSignalSpy loaded(chat.get(), &ChatViewModel::savedConversationLoaded);
        chat->loadDemoConversation();
        QVERIFY(loaded.wait(5000));
        const QList<ChatMessage> demo = chat->messages();
        QCOMPARE(demo.size(), 4);
        QCOMPARE(demo[0].text(), QStringLiteral("Plan a 10 day trip to Japan. First time, Tokyo and Kyoto for sure."));
        QVERIFY(demo[1].text().startsWith(QStringLiteral("Here is a clean shape for it:\n\n**Days 1 to 5, Tokyo.**")));
        QCOMPARE(demo[2].text(), QStringLiteral("Yes, but keep it light. I hate rushing."));
        QCOMPARE(demo[3].role(), Role::assistant);
        QVERIFY(chat->orynHistory().isEmpty());
        QCOMPARE(TestSupport::readAll(AppPaths::conversations()), before); // the demonstration is not saved
    }

    void clearEmptiesOnlyTheSelectedAgent()
    {
        auto chat = session();
        sendTyped(*chat, QStringLiteral("text question"));
        QTRY_VERIFY(idle(*chat));
        chat->sendDirect(QStringLiteral("look"), AgentModel::kestrin, false, false, false);
        QTRY_VERIFY(idle(*chat));
        chat->clear(); // kestrin is selected now
        QVERIFY(chat->messages().isEmpty());
        QVERIFY(chat->kestrinMessages().isEmpty());
        QCOMPARE(chat->orynMessages().size(), 2);
        QCOMPARE(chat->orynHistory().size(), 2);
        chat->setSelectedModel(AgentModel::oryn);
        chat->clear();
        QVERIFY(chat->orynMessages().isEmpty());
        QVERIFY(chat->orynHistory().isEmpty());
        QVERIFY(saved().isEmpty());
    }

    // --- the spoken conversation with Tarvik ---

    void tarvikFollowUpsCarryTheGrowingHistory()
    {
        const QString followUp = m_audio.say(QStringLiteral("what about tomorrow"), QStringLiteral("slt"));
        QVERIFY2(!followUp.isEmpty(), qPrintable(m_audio.lastError()));
        auto chat = session();
        m_microphone->load(followUp);
        m_engine->scriptOnce("/api/chat", TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, {QStringLiteral("It is sunny.")})));
        m_engine->scriptOnce("/api/chat", TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, {QStringLiteral("Rain tomorrow.")})));

        chat->sendVoiceOnly(QStringLiteral("what is the weather"), ModelCatalog::text);
        QVERIFY(chat->tarvikConversationActive());
        QVERIFY(chat->isThinking());
        QCOMPARE(chat->activeLabel(), QStringLiteral("Tarvik"));
        QCOMPARE(chat->activeAccent(), Theme::tarvik());
        QVERIFY(logText().contains(QStringLiteral("tarvik: \"what is the weather\"\n")));

        // Reply spoken, then the program listens, hears the follow-up and asks again.
        QTRY_VERIFY_WITH_TIMEOUT(m_engine->requests("/api/chat").size() == 2, 30000);
        m_microphone->setPcm(QByteArray(32000, '\0')); // the next listening hears silence
        const QStringList second = sentMessages(m_engine->requests("/api/chat")[1]);
        QCOMPARE(second.size(), 4);
        QCOMPARE(second[0], QStringLiteral("system: ") + tarvikSystemPrompt);
        QCOMPARE(second.mid(1, 2), (QStringList{QStringLiteral("user: what is the weather"), QStringLiteral("assistant: It is sunny.")}));
        QVERIFY2(second[3].contains(QStringLiteral("tomorrow")), qPrintable(second[3]));
        QTRY_COMPARE(m_voice->said, (QStringList{QStringLiteral("It is sunny."), QStringLiteral("Rain tomorrow.")}));
        QCOMPARE(chat->tarvikHistory().size(), 4);

        // Nothing of it reaches the transcript or the file.
        QVERIFY(chat->messages().isEmpty());
        ConversationStore::waitForPendingSaves();
        QVERIFY(!QFile::exists(AppPaths::conversations()));

        // Typing ends the spoken conversation and its listening.
        QTRY_VERIFY(chat->speech()->isListening());
        sendTyped(*chat, QStringLiteral("typed instead"));
        QVERIFY(!chat->tarvikConversationActive());
        QVERIFY(chat->tarvikHistory().isEmpty());
        QVERIFY(!chat->speech()->isListening());
        QTRY_VERIFY(idle(*chat));
    }

    void tarvikFallbacks_data()
    {
        QTest::addColumn<TestEngine::Reply>("reply");
        QTest::addColumn<QString>("spoken");
        QTest::addColumn<int>("historyTurns");
        QTest::addColumn<QString>("logged");

        QTest::newRow("empty reply") << TestEngine::Reply::stream({TestEngine::chatFinalLine(ModelCatalog::text)})
                                     << ChatViewModel::notCaughtText << 2 << QString();
        QTest::newRow("engine fails") << TestEngine::Reply::json(500, {{QStringLiteral("error"), QStringLiteral("boom")}})
                                      << ChatViewModel::unreachableText << 0 << QStringLiteral("tarvik error: badResponse(500)\n");
    }

    void tarvikFallbacks()
    {
        QFETCH(TestEngine::Reply, reply);
        QFETCH(QString, spoken);
        QFETCH(int, historyTurns);
        QFETCH(QString, logged);
        auto chat = session();
        m_engine->script("/api/chat", reply);
        chat->sendVoiceOnly(QStringLiteral("hello"), ModelCatalog::text);
        QTRY_COMPARE(m_voice->said, QStringList{spoken});
        QVERIFY(!chat->isThinking());
        QVERIFY(chat->tarvikConversationActive()); // the conversation goes on
        QCOMPARE(chat->tarvikHistory().size(), historyTurns);
        if (historyTurns)
            QCOMPARE(chat->tarvikHistory().last().content, QString());
        if (!logged.isEmpty())
            QVERIFY(logText().contains(logged));
        chat->endTarvikConversation();
    }

    void cancelWhileTarvikThinksSpeaksNothing()
    {
        auto chat = session();
        TestEngine::Reply late = TestEngine::Reply::stream(TestEngine::chatLines(ModelCatalog::text, {QStringLiteral("Too late.")}));
        late.delay = 200ms;
        m_engine->script("/api/chat", late);
        QSignalSpy closed(m_engine.get(), &TestEngine::connectionClosed);
        chat->sendVoiceOnly(QStringLiteral("hello"), ModelCatalog::text);
        QTRY_COMPARE(m_engine->requests("/api/chat").size(), 1);
        chat->cancelCurrent();
        QVERIFY(!chat->isThinking());
        QVERIFY(!chat->tarvikConversationActive());
        QTRY_COMPARE(closed.size(), 1);
        QTest::qWait(300);
        QVERIFY(m_voice->said.isEmpty());
    }

    // --- dictation into the chat ---

    void dictationSendsToTheSelectedAgent()
    {
        const QString speech = m_audio.say(QStringLiteral("what time is it"), QStringLiteral("rms"));
        QVERIFY2(!speech.isEmpty(), qPrintable(m_audio.lastError()));
        auto chat = session();
        chat->setSelectedModel(AgentModel::kestrin);
        m_microphone->load(speech);
        chat->setDraft(QStringLiteral("old draft"));
        chat->startVoiceInput();
        QTRY_VERIFY(chat->speech()->isListening());
        QVERIFY(chat->voiceDriven());
        QTRY_VERIFY_WITH_TIMEOUT(chat->messages().size() >= 1, 30000);
        QCOMPARE(chat->draft(), QString());
        QCOMPARE(chat->messages().first().role(), Role::user);
        QVERIFY2(chat->messages().first().text().contains(QStringLiteral("time")), qPrintable(chat->messages().first().text()));
        QVERIFY(chat->voiceDriven());
        QCOMPARE(m_screen.requests, 1); // kestrin with the screen attached
        QTRY_VERIFY(idle(*chat));
    }
};

KESTRIN_TEST_MAIN(ChatViewModelTest)
#include "tst_chatviewmodel.moc"
