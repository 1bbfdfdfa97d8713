// The chat session against the test engine over real sockets, including the spoken
// conversation with Tarvik (stand-in system voice, real dictation of generated speech).

#include "AppPaths.h"
#include "ChatViewModel.h"
#include "ConversationStore.h"
#include "FakeVoice.h"
#include "FileAudioEngine.h"
#include "OllamaTypes.h"
#include "SpeechOutput.h"
#include "SpeechRecognizer.h"
#include "SpokenAudio.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "Theme.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTimer>

using namespace std::chrono_literals;
using Role = ChatMessage::Role;
using Reply = TestEngine::Reply;

namespace {

/// The screen: counts the requests, answers later.
struct FakeScreen
{
    int requests = 0;
    std::optional<QString> image = "SCREENSHOT";
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
        list << (m.role() == Role::user ? "user: " : "assistant: ") + m.text();
    return list;
}

QStringList contents(const QList<ChatTurn> &turns)
{
    QStringList list;
    for (const ChatTurn &t : turns)
        list << t.role + ": " + t.content;
    return list;
}

QStringList sentMessages(const TestEngine::Request &request)
{
    QStringList list;
    for (const QJsonValue &m : request.json().value("messages").toArray())
        list << m["role"].toString() + ": " + m["content"].toString();
    return list;
}

ChatTurn turn(const QString &role, qsizetype length) { return {role, QString(length, u'x'), std::nullopt}; }
Reply chatReply(const QStringList &pieces) { return Reply::stream(TestEngine::chatLines(ModelCatalog::text, pieces, true)); }
Reply endless(const QStringList &pieces)
{
    return {.writes = TestEngine::chatLines(ModelCatalog::text, pieces, false), .end = Reply::End::Never};
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

    static void sendTyped(ChatViewModel &chat, const QString &text)
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
        TestSupport::setVoiceAccess(true);
    }

    void init()
    {
        ConversationStore::waitForPendingSaves();
        QFile::remove(AppPaths::conversations());
        m_engine->clearScripts();
        m_engine->clearRequests();
        m_engine->setChatReply(TestEngine::words("Hello there, friend."));
        m_screen = FakeScreen();
    }

    void typedRequestStreamsIntoTheTranscriptAndIsSaved()
    {
        auto chat = session();
        sendTyped(*chat, "  \n\t \n"); // blank: nothing sent, the draft stays
        QCOMPARE(chat->draft(), "  \n\t \n");
        QVERIFY(chat->messages().isEmpty() && !chat->isThinking());

        QStringList states;
        const auto record = [&] { states << QStringLiteral("%1%2").arg(chat->isThinking()).arg(chat->isStreaming()); };
        connect(chat.get(), &ChatViewModel::isThinkingChanged, this, record);
        connect(chat.get(), &ChatViewModel::isStreamingChanged, this, record);
        sendTyped(*chat, "  hi there \n");
        QCOMPARE(chat->draft(), QString());
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(states, (QStringList{"10", "00", "01", "00"})); // thinking, streaming, idle
        const QStringList expected{"user: hi there", "assistant: Hello there, friend."};
        QCOMPARE(texts(chat->messages()), expected);
        QCOMPARE(contents(chat->orynHistory()), expected);
        QCOMPARE(chat->messageList()->count(), 2);

        const auto requests = m_engine->requests("/api/chat");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].json().value("model").toString(), ModelCatalog::text);
        QCOMPARE(sentMessages(requests[0]), (QStringList{"system: " + AgentModel(AgentModel::oryn).systemPrompt(), "user: hi there"}));
        const ConversationSnapshot file = saved();
        QCOMPARE(texts(file.orynMessages), expected);
        QCOMPARE(file.orynHistory, chat->orynHistory());
        QVERIFY(file.kestrinMessages.isEmpty());
    }

    void kestrinRequests_data()
    {
        QTest::addColumn<bool>("suggestion"), QTest::addColumn<bool>("attachScreen"), QTest::addColumn<bool>("screenAvailable");
        QTest::newRow("typed, include screen off") << false << false << true;
        QTest::newRow("suggestion, include screen off") << true << false << true;
        QTest::newRow("no screenshot to be had") << false << true << false;
    }
    void kestrinRequests()
    {
        QFETCH(bool, suggestion); QFETCH(bool, attachScreen); QFETCH(bool, screenAvailable);
        const int captures = suggestion || attachScreen;
        if (!screenAvailable)
            m_screen.image.reset();
        auto chat = session();
        chat->setSelectedModel(AgentModel::kestrin);
        chat->setAttachScreen(attachScreen);
        const QString question = "What am I looking at?";
        suggestion ? chat->sendSuggestion(question) : sendTyped(*chat, question);
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(m_screen.requests, captures);
        QVERIFY(chat->orynMessages().isEmpty() && chat->orynHistory().isEmpty());
        const auto requests = m_engine->requests("/api/generate");
        if (!screenAvailable) {
            QVERIFY(requests.isEmpty());
            QCOMPARE(texts(chat->messages()), (QStringList{"user: " + question, "assistant: " + ChatViewModel::noScreenText}));
            QCOMPARE(texts(saved().kestrinMessages), texts(chat->messages()));
            return;
        }
        QCOMPARE(requests.size(), 1);
        const QJsonObject body = requests[0].json();
        QCOMPARE(body.value("model").toString(), ModelCatalog::vision);
        QCOMPARE(body.value("prompt").toString(), AgentModel(AgentModel::kestrin).systemPrompt() + "\n\nRequest: " + question);
        QCOMPARE(body.value("images").toArray(), captures ? QJsonArray{"SCREENSHOT"} : QJsonArray());
        QCOMPARE(texts(chat->kestrinMessages()), (QStringList{"user: " + question, "assistant: Hello there, friend."}));
    }

    void routedRequestSwitchesFirstSpeaksAndClearEmptiesOnlyTheSelectedAgent()
    {
        auto chat = session();
        sendTyped(*chat, "text question");
        QTRY_VERIFY(idle(*chat));
        QStringList shownAtSwitch{"not switched"};
        connect(chat.get(), &ChatViewModel::selectedModelChanged, this, [&] { shownAtSwitch = texts(chat->messages()); });
        chat->sendDirect("look", AgentModel::kestrin, true, true, true);
        QCOMPARE(shownAtSwitch, QStringList());
        QCOMPARE(texts(chat->messages()), QStringList{"user: look"});
        QCOMPARE(chat->activeLabel(), "Kestrin");
        QCOMPARE(chat->activeAccent(), Theme::kestrin());
        QTRY_COMPARE(m_voice->said, QStringList{"Hello there, friend."});
        QTRY_VERIFY(idle(*chat));
        chat->clear();
        QVERIFY(chat->messages().isEmpty() && chat->kestrinMessages().isEmpty());
        QCOMPARE(chat->orynHistory().size(), 2);
        chat->setSelectedModel(AgentModel::oryn);
        QCOMPARE(chat->messages().size(), 2);
        chat->clear();
        QVERIFY(chat->orynMessages().isEmpty() && chat->orynHistory().isEmpty());
        QVERIFY(saved().isEmpty());
    }

    void historyBudget_data()
    {
        QTest::addColumn<QList<ChatTurn>>("history"), QTest::addColumn<QList<qsizetype>>("kept"); // lengths, oldest first
        QTest::newRow("a lone oversized turn is sent") << QList<ChatTurn>{turn("user", 9000)} << QList<qsizetype>{9000};
        QTest::newRow("an old long turn never follows a newer one") << QList<ChatTurn>{turn("user", 9000), turn("assistant", 10)}
                                                                     << QList<qsizetype>{10};
        QTest::newRow("exactly the budget") << QList<ChatTurn>{turn("user", 1), turn("user", 4000), turn("assistant", 3000)}
                                            << QList<qsizetype>{4000, 3000};
        // Flags count once, as a reader sees them.
        QTest::newRow("flags") << QList<ChatTurn>{{"user", QStringLiteral("\U0001F1EF\U0001F1F5").repeated(3000), std::nullopt}, turn("user", 4000)}
                               << QList<qsizetype>{12000, 4000};
    }
    void historyBudget()
    {
        QFETCH(QList<ChatTurn>, history); QFETCH(QList<qsizetype>, kept);
        QList<qsizetype> lengths;
        for (const ChatTurn &t : ChatViewModel::trimmedForContext(history))
            lengths << t.content.size();
        QCOMPARE(lengths, kept);
    }

    void savedConversationLoadsAndKeepsTheLastFortyTurns()
    {
        ConversationSnapshot stored;
        for (int i = 0; i < 45; ++i)
            stored.orynMessages << ChatMessage(i % 2 ? Role::assistant : Role::user, QString::number(i));
        stored.kestrinMessages = {ChatMessage(Role::user, "look")};
        stored.orynHistory << turn("user", 7000); // alone it fits the budget, with anything newer it does not
        QStringList fits;
        for (int i = 0; i < 39; ++i) {
            stored.orynHistory << ChatTurn{i % 2 ? "user" : "assistant", QString::number(i), std::nullopt};
            fits << stored.orynHistory.last().role + ": " + QString::number(i);
        }
        QVERIFY(ConversationStore::writeNow(stored, AppPaths::conversations()));
        auto chat = session();
        QCOMPARE(texts(chat->messages()), texts(stored.orynMessages));
        QCOMPARE(texts(chat->kestrinMessages()), texts(stored.kestrinMessages));
        QCOMPARE(chat->orynHistory(), stored.orynHistory);
        sendTyped(*chat, "next");
        QTRY_VERIFY(idle(*chat));
        // Only what fits the budget is sent; the stored history keeps forty turns, the transcript all.
        QCOMPARE(sentMessages(m_engine->requests("/api/chat").value(0)).mid(1), fits + QStringList{"user: next"});
        const QList<ChatTurn> history = chat->orynHistory();
        QCOMPARE(history.size(), 40);
        QCOMPARE(history.first().content, "1");
        QCOMPARE(chat->orynMessages().size(), 47);
        QCOMPARE(saved().orynHistory, history);
    }

    void demoIsNotReplacedByTheSavedConversation()
    {
        ConversationSnapshot stored;
        stored.orynMessages = {ChatMessage(Role::user, "saved question")};
        QVERIFY(ConversationStore::writeNow(stored, AppPaths::conversations()));
        const QByteArray before = TestSupport::readAll(AppPaths::conversations());
        auto chat = session(false);
        QSignalSpy loaded(chat.get(), &ChatViewModel::savedConversationLoaded);
        chat->loadDemoConversation();
        QVERIFY(loaded.wait(5000));
        QCOMPARE(chat->messages().size(), 4);
        QCOMPARE(chat->messages()[0].text(), "Plan a 10 day trip to Japan. First time, Tokyo and Kyoto for sure.");
        QVERIFY(chat->orynHistory().isEmpty());
        QCOMPARE(TestSupport::readAll(AppPaths::conversations()), before); // the demonstration is not saved
    }

    void failures_data()
    {
        QTest::addColumn<Reply>("reply"), QTest::addColumn<QString>("shown");
        QTest::newRow("no text at all") << chatReply({}) << ChatViewModel::noResponseText;
        QTest::newRow("error status") << Reply::json(500, {{"error", "boom"}}) << OllamaError::badResponse(500).errorDescription();
        QTest::newRow("cut after some text") << Reply{.writes = TestEngine::chatLines(ModelCatalog::text, {"Half", " a reply"}, false),
                                                      .end = Reply::End::CloseMidBody}
                                             << "Half a reply\n\n" + OllamaError::unreachable().errorDescription();
    }
    void failures()
    {
        QFETCH(Reply, reply); QFETCH(QString, shown);
        auto chat = session();
        m_engine->script("/api/chat", reply);
        sendTyped(*chat, "hello");
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(texts(chat->messages()), (QStringList{"user: hello", "assistant: " + shown}));
        QVERIFY(chat->orynHistory().isEmpty() && m_voice->said.isEmpty());
        m_engine->clearScripts();
        sendTyped(*chat, "again");
        QTRY_COMPARE(chat->messages().last().text(), "Hello there, friend.");
    }

    void cancelKeepsTheReplySoFar()
    {
        auto chat = session();
        m_engine->script("/api/chat", endless({"Half", "way"}));
        QSignalSpy closed(m_engine.get(), &TestEngine::connectionClosed);
        chat->sendDirect("tell me", AgentModel::oryn, false, true, false);
        QTRY_COMPARE(chat->messages().value(1).text(), "Halfway");
        QVERIFY(chat->isStreaming()); // pieces show before the end, despite throttling
        chat->cancelCurrent();
        QVERIFY(idle(*chat));
        QTRY_COMPARE(closed.size(), 1); // the request is aborted
        const QStringList expected{"user: tell me", "assistant: Halfway"};
        QCOMPARE(contents(chat->orynHistory()), expected);
        QCOMPARE(texts(saved().orynMessages), expected);
        QTest::qWait(100);
        QVERIFY(m_voice->said.isEmpty()); // a cancelled reply is not spoken

        // Cancelled before any text: nothing is added.
        m_engine->script("/api/chat", Reply{.silent = true});
        chat->clear();
        sendTyped(*chat, "tell me");
        QTRY_COMPARE(m_engine->requests("/api/chat").size(), 2);
        chat->cancelCurrent();
        QVERIFY(idle(*chat));
        QCOMPARE(texts(chat->messages()), QStringList{"user: tell me"});
        QVERIFY(chat->orynHistory().isEmpty());
    }

    void clearingWhileStreaming()
    {
        auto chat = session();
        m_engine->script("/api/chat", Reply::stream(TestEngine::chatLines(ModelCatalog::text, TestEngine::words("one two three")), 40ms));
        sendTyped(*chat, "count");
        QTRY_VERIFY(chat->isStreaming());
        chat->clear();
        QTRY_VERIFY(idle(*chat));
        QVERIFY(chat->messages().isEmpty());
        // The finishing step still records the exchange.
        QCOMPARE(contents(chat->orynHistory()), (QStringList{"user: count", "assistant: one two three"}));
        const ConversationSnapshot file = saved();
        QVERIFY(file.orynMessages.isEmpty());
        QCOMPARE(file.orynHistory, chat->orynHistory());
    }

    void supersededRequestLeavesItsSuccessorAlone()
    {
        auto chat = session();
        m_engine->scriptOnce("/api/chat", endless({"First", " answer"}));
        m_engine->scriptOnce("/api/chat", Reply{.writes = TestEngine::chatLines(ModelCatalog::text, {"Second answer"}), .delay = 300ms});
        sendTyped(*chat, "first");
        QTRY_COMPARE(chat->messages().value(1).text(), "First answer");
        sendTyped(*chat, "second");
        QVERIFY(chat->isThinking() && !chat->isStreaming());
        QTest::qWait(150);
        QVERIFY(chat->isThinking());
        QTRY_VERIFY(idle(*chat));
        const QStringList both{"user: first", "assistant: First answer", "user: second", "assistant: Second answer"};
        QCOMPARE(sentMessages(m_engine->requests("/api/chat").value(1)).mid(1), both.mid(0, 3));
        QCOMPARE(contents(chat->orynHistory()), both);
        QCOMPARE(texts(chat->messages()), both);
    }

    void streamingUpdatesAreThrottledButComplete()
    {
        auto chat = session();
        QStringList pieces;
        for (int i = 0; i < 400; ++i)
            pieces << QStringLiteral("w%1 ").arg(i);
        m_engine->script("/api/chat", chatReply(pieces));
        int updates = 0;
        connect(chat->messageList(), &QAbstractItemModel::dataChanged, this, [&] { ++updates; });
        sendTyped(*chat, "go");
        QTRY_VERIFY(idle(*chat));
        QCOMPARE(chat->messages().last().text(), pieces.join(QString()));
        QVERIFY2(updates < 200, qPrintable(QString::number(updates)));
    }

    void tarvikFollowUpsCarryTheGrowingHistory()
    {
        const QString followUp = m_audio.say("what about tomorrow", "slt");
        QVERIFY2(!followUp.isEmpty(), qPrintable(m_audio.lastError()));
        auto chat = session();
        m_microphone->load(followUp);
        m_engine->scriptOnce("/api/chat", chatReply({"It is sunny."}));
        m_engine->scriptOnce("/api/chat", chatReply({"Rain tomorrow."}));
        chat->sendVoiceOnly("what is the weather", ModelCatalog::text);
        QVERIFY(chat->tarvikConversationActive() && chat->isThinking());
        QCOMPARE(chat->activeLabel(), "Tarvik");
        QCOMPARE(chat->activeAccent(), Theme::tarvik());

        // Reply spoken, then the program listens, hears the follow-up and asks again.
        QTRY_VERIFY_WITH_TIMEOUT(m_engine->requests("/api/chat").size() == 2, 30000);
        m_microphone->setPcm(QByteArray(32000, '\0'));
        const QStringList second = sentMessages(m_engine->requests("/api/chat")[1]);
        QCOMPARE(second.size(), 4);
        QCOMPARE(second.mid(0, 3), (QStringList{"system: " + tarvikSystemPrompt, "user: what is the weather", "assistant: It is sunny."}));
        QVERIFY2(second[3].contains("tomorrow"), qPrintable(second[3]));
        QTRY_COMPARE(m_voice->said, (QStringList{"It is sunny.", "Rain tomorrow."}));
        QCOMPARE(chat->tarvikHistory().size(), 4);
        QVERIFY(chat->messages().isEmpty()); // nothing reaches the transcript or the file
        ConversationStore::waitForPendingSaves();
        QVERIFY(!QFile::exists(AppPaths::conversations()));

        // Typing ends the spoken conversation and its listening.
        QTRY_VERIFY(chat->speech()->isListening());
        sendTyped(*chat, "typed instead");
        QVERIFY(!chat->tarvikConversationActive() && chat->tarvikHistory().isEmpty());
        QVERIFY(!chat->speech()->isListening());
        QTRY_VERIFY(idle(*chat));
    }

    void tarvikFallbacks_data()
    {
        QTest::addColumn<Reply>("reply"), QTest::addColumn<QString>("spoken"), QTest::addColumn<int>("historyTurns");
        QTest::newRow("empty reply") << chatReply({}) << ChatViewModel::notCaughtText << 2;
        QTest::newRow("engine fails") << Reply::json(500, {{"error", "boom"}}) << ChatViewModel::unreachableText << 0;
        QTest::newRow("cancelled while thinking: silence")
            << Reply{.writes = TestEngine::chatLines(ModelCatalog::text, {"Too late."}), .delay = 200ms} << QString() << 0;
    }
    void tarvikFallbacks()
    {
        QFETCH(Reply, reply); QFETCH(QString, spoken); QFETCH(int, historyTurns);
        auto chat = session();
        m_engine->script("/api/chat", reply);
        QSignalSpy closed(m_engine.get(), &TestEngine::connectionClosed);
        chat->sendVoiceOnly("hello", ModelCatalog::text);
        if (spoken.isEmpty()) {
            QTRY_COMPARE(m_engine->requests("/api/chat").size(), 1);
            chat->cancelCurrent();
            QVERIFY(!chat->isThinking() && !chat->tarvikConversationActive());
            QTRY_COMPARE(closed.size(), 1);
            QTest::qWait(300);
            QVERIFY(m_voice->said.isEmpty());
            return;
        }
        QTRY_COMPARE(m_voice->said, QStringList{spoken});
        QVERIFY(!chat->isThinking() && chat->tarvikConversationActive());
        QCOMPARE(chat->tarvikHistory().size(), historyTurns);
        if (historyTurns)
            QCOMPARE(chat->tarvikHistory().last().content, QString());
        chat->endTarvikConversation();
    }

    void dictationSendsToTheSelectedAgent()
    {
        const QString speech = m_audio.say("what time is it", "rms");
        QVERIFY2(!speech.isEmpty(), qPrintable(m_audio.lastError()));
        auto chat = session();
        chat->setSelectedModel(AgentModel::kestrin);
        m_microphone->load(speech);
        chat->setDraft("old draft");
        chat->startVoiceInput();
        QTRY_VERIFY_WITH_TIMEOUT(chat->messages().size() >= 1, 30000);
        QCOMPARE(chat->draft(), QString());
        QVERIFY2(chat->messages().first().text().contains("time"), qPrintable(chat->messages().first().text()));
        QVERIFY(chat->voiceDriven());
        QCOMPARE(m_screen.requests, 1); // kestrin with the screen attached
        QTRY_VERIFY(idle(*chat));
    }
};

KESTRIN_TEST_MAIN(ChatViewModelTest)
#include "tst_chatviewmodel.moc"
