// The engine client against a real HTTP server on loopback (the test engine), over real sockets.

#include "OllamaClient.h"
#include "TestEngine.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QSignalSpy>

using namespace std::chrono_literals;
using Reply = TestEngine::Reply;

namespace {

const QString model = QStringLiteral("llama3.2:3b");

/// Everything a stream emitted, in order.
struct Collector
{
    QStringList pieces;
    QList<PullProgress> steps;
    int finished = 0;
    QList<OllamaError> errors;

    bool ended() const { return finished + errors.size() > 0; }

    explicit Collector(OllamaStream *stream)
    {
        QObject::connect(stream, &OllamaStream::finished, [this] { ++finished; });
        QObject::connect(stream, &OllamaStream::failed, [this](const OllamaError &e) { errors.append(e); });
        if (auto *text = qobject_cast<TextStream *>(stream))
            QObject::connect(text, &TextStream::piece, [this](const QString &p) { pieces.append(p); });
        if (auto *pull = qobject_cast<PullStream *>(stream))
            QObject::connect(pull, &PullStream::progress, [this](const PullProgress &p) { steps.append(p); });
    }
};

std::unique_ptr<TextStream> chatStream(const QString &name = model)
{
    return OllamaClient::streamChat(name, {{QStringLiteral("user"), QStringLiteral("Hi"), std::nullopt}}, std::nullopt);
}

QByteArray chatLine(const QString &content, bool done = false)
{
    return TestEngine::line({{"model", model}, {"message", QJsonObject{{"role", "assistant"}, {"content", content}}}, {"done", done}});
}

} // namespace

class OllamaClientTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEngine> m_engine;
    quint16 m_port = 0;

    void startEngine()
    {
        m_engine = std::make_unique<TestEngine>();
        QVERIFY(m_engine->listen(m_port));
        m_port = m_engine->port();
        m_engine->setInstalledModels({model, QStringLiteral("moondream:latest")});
    }

private slots:
    void initTestCase()
    {
        startEngine();
        // The client reads OLLAMA_HOST once; every test of this process talks to this port.
        qputenv("OLLAMA_HOST", m_engine->ollamaHost());
        QCOMPARE(OllamaClient::baseURL().port(), int(m_port));
    }

    void init()
    {
        if (!m_engine)
            startEngine();
        m_engine->clearScripts();
        m_engine->clearRequests();
    }

    // --- what is sent ---

    void requestsAsSent()
    {
        const QList<ChatTurn> history{{QStringLiteral("user"), QStringLiteral("Look"), QStringLiteral("IMG1")},
                                      {QStringLiteral("assistant"), QStringLiteral("A cat."), std::nullopt}};
        auto chat = OllamaClient::streamChat(model, history, QStringLiteral("Be brief."));
        Collector c1(chat.get());
        auto generate = OllamaClient::streamGenerate(QStringLiteral("moondream"), QStringLiteral("Describe"), QStringLiteral("IMG2"));
        Collector c2(generate.get());
        bool preloaded = false;
        QObject context;
        OllamaClient::preload(model, &context, [&] { preloaded = true; });
        QTRY_VERIFY(c1.ended() && c2.ended() && preloaded);

        const auto chats = m_engine->requests("/api/chat");
        QCOMPARE(chats.size(), 1);
        QCOMPARE(chats[0].method, QByteArray("POST"));
        QCOMPARE(chats[0].header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(chats[0].json().value("messages").toArray().size(), 3);
        QCOMPARE(chats[0].json(), QJsonDocument::fromJson(OllamaClient::chatBody(model, history, QStringLiteral("Be brief."))).object());

        const auto generates = m_engine->requests("/api/generate");
        QCOMPARE(generates.size(), 2);
        QJsonObject streamed = generates[0].json();
        QJsonObject warmUp = generates[1].json();
        if (streamed.value("stream") == QJsonValue(false))
            std::swap(streamed, warmUp);
        QCOMPARE(streamed.value("images").toArray(), QJsonArray{"IMG2"});
        QCOMPARE(streamed.value("prompt").toString(), QStringLiteral("Describe"));
        QCOMPARE(warmUp, (QJsonObject{{"model", model}, {"prompt", ""}, {"stream", false}, {"keep_alive", "30m"}}));
        for (const auto &r : m_engine->requests())
            QVERIFY(r.path.startsWith("/api/"));
    }

    // --- streaming ---

    void piecesArriveInOrderAndEnd()
    {
        m_engine->setChatReply({QStringLiteral("Hello"), QStringLiteral(" there"), QStringLiteral(", friend.")});
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QCOMPARE(c.pieces, (QStringList{"Hello", " there", ", friend."}));
        QCOMPARE(c.finished, 1);
        QVERIFY(c.errors.isEmpty());
        QVERIFY(!stream->isRunning());
    }

    void framingAndCutsDoNotMatter_data()
    {
        QTest::addColumn<int>("framing");
        QTest::addColumn<int>("cut");
        QTest::addColumn<bool>("crlf");
        for (int cut : {1, 2, 3, 7, 64, 4096}) {
            QTest::addRow("chunked, cut every %d", cut) << int(TestEngine::Framing::Chunked) << cut << false;
            QTest::addRow("content length, CRLF, cut every %d", cut) << int(TestEngine::Framing::ContentLength) << cut << true;
        }
        QTest::addRow("close delimited") << int(TestEngine::Framing::CloseDelimited) << 5 << false;
    }
    void framingAndCutsDoNotMatter()
    {
        QFETCH(int, framing);
        QFETCH(int, cut);
        QFETCH(bool, crlf);
        // Multi-byte characters cut between writes must come out whole.
        const QStringList words{QStringLiteral("Ça"), QStringLiteral(" 漢字"), QStringLiteral(" 🦅"), QStringLiteral(" \"quoted\"\n")};
        QByteArray body = TestEngine::joined(TestEngine::chatLines(model, words));
        if (crlf)
            body.replace("\n", "\r\n");
        Reply reply;
        reply.framing = TestEngine::Framing(framing);
        reply.writes = TestEngine::cutEvery(body, cut);
        m_engine->scriptOnce("/api/chat", reply);
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QCOMPARE(c.pieces, words);
        QCOMPARE(c.finished, 1);
    }

    void oddLinesAreSkipped()
    {
        // Empty lines, non-JSON, wrong types and error objects deliver nothing; the stream reads on.
        m_engine->scriptOnce("/api/chat", Reply::stream({"\n", "not json at all\n", chatLine("A"), "\r\n",
                                                         R"({"message":"wrong type"})" "\n", R"({"done":"yes"})" "\n",
                                                         R"({"error":"out of memory"})" "\n", chatLine("B"),
                                                         TestEngine::chatFinalLine(model)}));
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QCOMPARE(c.pieces, (QStringList{"A", "B"}));
        QCOMPARE(c.finished, 1);
    }

    void errorLineOnlyEndsNormallyWithNoText()
    {
        m_engine->scriptOnce("/api/chat", Reply::stream({R"({"error":"model runner crashed"})" "\n"}));
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QVERIFY(c.pieces.isEmpty());
        QCOMPARE(c.finished, 1);
        QVERIFY(c.errors.isEmpty());
    }

    void finalLineWithAndWithoutContent()
    {
        m_engine->scriptOnce("/api/chat", Reply::stream({chatLine("Done"), chatLine(".", true)}));
        auto withText = chatStream();
        Collector c1(withText.get());
        QTRY_VERIFY(c1.ended());
        QCOMPARE(c1.pieces, (QStringList{"Done", "."}));

        // A last line without a line feed still counts when the body ends.
        m_engine->scriptOnce("/api/generate", Reply::stream({TestEngine::line({{"response", "Red"}}), R"({"response":"!"})"}));
        auto generate = OllamaClient::streamGenerate(QStringLiteral("moondream"), QStringLiteral("p"), std::nullopt);
        Collector c2(generate.get());
        QTRY_VERIFY(c2.ended());
        QCOMPARE(c2.pieces, (QStringList{"Red", "!"}));
        QCOMPARE(c2.finished, 1);
    }

    void nothingIsReadAfterTheFinalLine()
    {
        // The engine keeps sending after "done"; the stream must end and close the connection.
        Reply reply = Reply::stream({chatLine("one"), chatLine("", true), chatLine("after"), chatLine("more")}, 100ms);
        reply.end = Reply::End::Never;
        m_engine->scriptOnce("/api/chat", reply);
        QSignalSpy closed(m_engine.get(), &TestEngine::connectionClosed);
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QCOMPARE(c.pieces, QStringList{"one"});
        QCOMPARE(c.finished, 1);
        QTRY_VERIFY_WITH_TIMEOUT(closed.count() >= 1, 2000);
        QTest::qWait(400);
        QCOMPARE(c.pieces, QStringList{"one"});
        QCOMPARE(c.finished, 1);
    }

    void linesArriveAsTheyAreSent()
    {
        // A slow drip: each piece must reach the consumer before the next one is sent.
        m_engine->scriptOnce("/api/chat", Reply::stream(TestEngine::chatLines(model, {"a", "b", "c"}), 300ms));
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_COMPARE_WITH_TIMEOUT(c.pieces.size(), 1, 2000);
        QVERIFY(!c.ended());
        QTRY_COMPARE_WITH_TIMEOUT(c.pieces.size(), 2, 2000);
        QTRY_VERIFY_WITH_TIMEOUT(c.ended(), 3000);
    }

    // --- failures ---

    void statusOtherThan200FailsBeforeAnyText_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("unknown model") << 404;
        QTest::newRow("server error") << 500;
        QTest::newRow("redirect is not followed") << 302;
        QTest::newRow("no content") << 204;
    }
    void statusOtherThan200FailsBeforeAnyText()
    {
        QFETCH(int, status);
        if (status == 404) {
            // The engine's own answer for a model it does not have.
            auto stream = chatStream(QStringLiteral("no-such-model:7b"));
            Collector c(stream.get());
            QTRY_VERIFY(c.ended());
            QVERIFY(c.pieces.isEmpty());
            QCOMPARE(c.errors, QList<OllamaError>{OllamaError::badResponse(404)});
            return;
        }
        // A body that would give text if it were read.
        Reply reply = Reply::stream(TestEngine::chatLines(model, {"never"}));
        reply.status = status;
        if (status == 302)
            reply.headers = {{"Location", "http://192.0.2.1:11434/api/chat"}};
        if (status == 204)
            reply.writes.clear();
        m_engine->scriptOnce("/api/chat", reply);
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QVERIFY(c.pieces.isEmpty());
        QCOMPARE(c.errors, QList<OllamaError>{OllamaError::badResponse(status)});
        QCOMPARE(m_engine->requests("/api/chat").size(), 1);
    }

    void connectionLostMidReply()
    {
        Reply reply = Reply::stream({chatLine("Partial"), chatLine(" answer"), "{\"message\":{\"content\":\"cut o"});
        reply.end = Reply::End::CloseMidBody;
        m_engine->scriptOnce("/api/chat", reply);
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QCOMPARE(c.pieces, (QStringList{"Partial", " answer"}));
        QCOMPARE(c.errors, QList<OllamaError>{OllamaError::unreachable()});
        QCOMPARE(c.finished, 0);
    }

    void replyThatIsNotHttp()
    {
        Reply reply;
        reply.notHttp = true;
        m_engine->script("/api/chat", reply); // a retry, were there one, would meet it too
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QCOMPARE(c.errors, QList<OllamaError>{OllamaError::unreachable()});
    }

    void noEngineOnThePort()
    {
        m_engine.reset(); // nothing listens on the port now
        auto chat = chatStream();
        auto generate = OllamaClient::streamGenerate(QStringLiteral("moondream"), QStringLiteral("p"), QStringLiteral("IMG"));
        auto pull = OllamaClient::pull(QStringLiteral("moondream"));
        Collector c1(chat.get()), c2(generate.get()), c3(pull.get());
        bool preloaded = false;
        std::optional<std::optional<QStringList>> models;
        QObject context;
        OllamaClient::preload(model, &context, [&] { preloaded = true; });
        OllamaClient::installedModels(&context, [&](std::optional<QStringList> m) { models = m; });
        auto whole = OllamaClient::chat(model, {}, std::nullopt);
        QSignalSpy wholeFailed(whole.get(), &ChatReply::failed);
        QTRY_VERIFY(c1.ended() && c2.ended() && c3.ended() && preloaded && models.has_value() && wholeFailed.count() == 1);
        for (const Collector *c : {&c1, &c2, &c3})
            QCOMPARE(c->errors, QList<OllamaError>{OllamaError::unreachable()});
        QCOMPARE(*models, std::nullopt);
        QCOMPARE(wholeFailed.at(0).at(0).value<OllamaError>(), OllamaError::unreachable());
    }

    // --- cancellation ---

    void cancelOrDropClosesTheConnectionAtOnce_data()
    {
        QTest::addColumn<bool>("drop");
        QTest::newRow("cancel") << false;
        QTest::newRow("drop") << true;
    }
    void cancelOrDropClosesTheConnectionAtOnce()
    {
        QFETCH(bool, drop);
        Reply reply = Reply::stream(TestEngine::chatLines(model, {"one", "two", "three", "four"}), 300ms);
        m_engine->scriptOnce("/api/chat", reply);
        QSignalSpy closed(m_engine.get(), &TestEngine::connectionClosed);
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_COMPARE_WITH_TIMEOUT(c.pieces.size(), 1, 3000);
        QElapsedTimer clock;
        clock.start();
        if (drop)
            stream.reset();
        else
            stream->cancel();
        QTRY_VERIFY_WITH_TIMEOUT(closed.count() >= 1, 1000);
        QVERIFY2(clock.elapsed() < 250, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(800);
        QCOMPARE(c.pieces, QStringList{"one"});
        QVERIFY(!c.ended()); // not even an error
    }

    void consumerMayDeleteTheStreamFromASlot()
    {
        m_engine->scriptOnce("/api/chat", Reply::stream({TestEngine::joined(TestEngine::chatLines(model, {"x", "y", "z"}))}));
        auto *stream = chatStream().release();
        QStringList pieces;
        QPointer<TextStream> guard(stream);
        connect(stream, &TextStream::piece, this, [&](const QString &p) {
            pieces.append(p);
            delete stream; // all three lines arrived in one read; the rest must not be delivered
        });
        QTRY_VERIFY(!guard);
        QTest::qWait(100);
        QCOMPARE(pieces, QStringList{"x"});
    }

    // --- whole replies, warm-up, model list ---

    void chatGathersTheWholeReply()
    {
        m_engine->setChatReply({QStringLiteral("It is"), QStringLiteral(" four.")});
        auto reply = OllamaClient::chat(model, {{QStringLiteral("user"), QStringLiteral("2+2?"), std::nullopt}}, tarvikPrompt());
        QSignalSpy done(reply.get(), &ChatReply::finished);
        QVERIFY(done.wait(5000));
        QCOMPARE(done.at(0).at(0).toString(), QStringLiteral("It is four."));

        Reply lost = Reply::stream({chatLine("Half")});
        lost.end = Reply::End::CloseMidBody;
        m_engine->scriptOnce("/api/chat", lost);
        auto failing = OllamaClient::chat(model, {}, std::nullopt);
        QSignalSpy failed(failing.get(), &ChatReply::failed);
        QSignalSpy finished(failing.get(), &ChatReply::finished);
        QVERIFY(failed.wait(5000));
        QCOMPARE(finished.count(), 0);
    }

    void preloadIgnoresFailures()
    {
        m_engine->scriptOnce("/api/generate", Reply::json(500, {{"error", "boom"}}));
        bool done = false;
        OllamaClient::preload(model, this, [&] { done = true; });
        QTRY_VERIFY(done);
    }

    void installedModels_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QVariant>("expected"); // QStringList, or invalid for absent
        QTest::newRow("empty list") << 200 << QByteArray(R"({"models":[]})") << QVariant(QStringList());
        QTest::newRow("two models") << 200 << QByteArray(R"({"models":[{"name":"b:1"},{"name":"a:latest"}]})") << QVariant(QStringList{"b:1", "a:latest"});
        QTest::newRow("server error") << 500 << QByteArray(R"({"models":[]})") << QVariant();
        QTest::newRow("malformed") << 200 << QByteArray(R"({"models":[{"nom":"x"}]})") << QVariant();
        QTest::newRow("not JSON") << 200 << QByteArray("<html>") << QVariant();
    }
    void installedModels()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QVariant, expected);
        Reply reply;
        reply.status = status;
        reply.contentType = "application/json";
        reply.framing = TestEngine::Framing::ContentLength;
        reply.writes = {body};
        m_engine->scriptOnce("/api/tags", reply);
        std::optional<std::optional<QStringList>> result;
        OllamaClient::installedModels(this, [&](std::optional<QStringList> models) { result = models; });
        QTRY_VERIFY(result.has_value());
        QCOMPARE(result->has_value(), expected.isValid());
        if (expected.isValid())
            QCOMPARE(**result, expected.toStringList());
    }

    void installedModelsGivesUpAfterTwoAndAHalfSeconds()
    {
        Reply silent;
        silent.silent = true;
        m_engine->scriptOnce("/api/tags", silent);
        std::optional<std::optional<QStringList>> result;
        QElapsedTimer clock;
        clock.start();
        OllamaClient::installedModels(this, [&](std::optional<QStringList> models) { result = models; });
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 10000);
        QCOMPARE(*result, std::nullopt);
        QVERIFY2(clock.elapsed() >= 2400 && clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
    }

    void installedModelsCallbackSkipsADeadContext()
    {
        bool called = false;
        {
            QObject context;
            OllamaClient::installedModels(&context, [&](std::optional<QStringList>) { called = true; });
        }
        QTest::qWait(300);
        QVERIFY(!called);
    }

    // --- downloads ---

    void pullReportsEveryStepAndEndsOnSuccess()
    {
        m_engine->setInstalledModels({});
        auto pull = OllamaClient::pull(QStringLiteral("moondream"));
        Collector c(pull.get());
        QTRY_VERIFY_WITH_TIMEOUT(c.ended(), 10000);
        QCOMPARE(c.finished, 1);
        QVERIFY(c.steps.size() > 5);
        QCOMPARE(c.steps.first().status, QStringLiteral("pulling manifest"));
        QCOMPARE(c.steps.last().status, QStringLiteral("success"));
        bool sawLayer = false;
        for (const PullProgress &p : c.steps)
            sawLayer |= p.digest.has_value() && p.total.has_value() && p.completed.has_value();
        QVERIFY(sawLayer);
        QCOMPARE(m_engine->requests("/api/pull").at(0).json(), (QJsonObject{{"model", "moondream"}, {"stream", true}}));
    }

    void pullEndsOnExactSuccessOnly()
    {
        Reply reply = Reply::stream({R"({"status":"Success"})" "\n", R"({"error":"disk full"})" "\n",
                                     R"({"status":"success"})" "\n", R"({"status":"after"})" "\n"});
        reply.end = Reply::End::Never;
        m_engine->scriptOnce("/api/pull", reply);
        auto pull = OllamaClient::pull(QStringLiteral("moondream"));
        Collector c(pull.get());
        QTRY_VERIFY(c.ended());
        QStringList statuses;
        for (const PullProgress &p : c.steps)
            statuses << p.status;
        // The error line arrives as a step with an empty status; nothing after "success".
        QCOMPARE(statuses, (QStringList{"Success", "", "success"}));
        QCOMPARE(c.finished, 1);
    }

private:
    static QString tarvikPrompt() { return QStringLiteral("Be short."); }
};

KESTRIN_TEST_MAIN(OllamaClientTest)
#include "tst_ollamaclient.moc"
