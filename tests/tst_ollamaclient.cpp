// The engine client against a real HTTP server on loopback (the test engine), over real sockets.

#include "OllamaClient.h"
#include "TestEngine.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>

using namespace std::chrono_literals;
using Reply = TestEngine::Reply;

namespace {

const QString model = "llama3.2:3b";

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

std::unique_ptr<TextStream> chatStream()
{
    return OllamaClient::streamChat(model, {{"user", "Hi", std::nullopt}}, std::nullopt);
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
        m_engine->setInstalledModels({model, "moondream:latest"});
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

    void requestsAsSentAndDefaultReplies()
    {
        m_engine->setChatReply({"Hello", " there", ", friend."});
        const QList<ChatTurn> history{{"user", "Look", "IMG1"}, {"assistant", "A cat.", std::nullopt}};
        auto chat = OllamaClient::streamChat(model, history, "Be brief.");
        Collector c1(chat.get());
        auto generate = OllamaClient::streamGenerate("moondream", "Describe", "IMG2");
        Collector c2(generate.get());
        bool preloaded = false;
        QObject context;
        OllamaClient::preload(model, &context, [&] { preloaded = true; });
        QTRY_VERIFY(c1.ended() && c2.ended() && preloaded);
        for (const Collector *c : {&c1, &c2}) {
            QCOMPARE(c->pieces, (QStringList{"Hello", " there", ", friend."}));
            QCOMPARE(c->finished, 1);
        }
        QVERIFY(!chat->isRunning());

        const auto chats = m_engine->requests("/api/chat");
        QCOMPARE(chats.size(), 1);
        QCOMPARE(chats[0].method, QByteArray("POST"));
        QCOMPARE(chats[0].headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(chats[0].json(), QJsonDocument::fromJson(OllamaClient::chatBody(model, history, "Be brief.")).object());
        const auto generates = m_engine->requests("/api/generate");
        QCOMPARE(generates.size(), 2);
        QJsonObject streamed = generates[0].json();
        QJsonObject warmUp = generates[1].json();
        if (streamed.value("stream") == QJsonValue(false))
            std::swap(streamed, warmUp);
        QCOMPARE(streamed.value("images").toArray(), QJsonArray{"IMG2"});
        QCOMPARE(streamed.value("prompt").toString(), "Describe");
        QCOMPARE(warmUp, (QJsonObject{{"model", model}, {"prompt", ""}, {"stream", false}, {"keep_alive", "30m"}}));
    }

    void framingAndCutsDoNotMatter_data()
    {
        QTest::addColumn<int>("framing"), QTest::addColumn<int>("cut"), QTest::addColumn<bool>("crlf");
        for (int cut : {1, 2, 3, 7, 64, 4096}) {
            QTest::addRow("chunked, cut every %d", cut) << int(TestEngine::Framing::Chunked) << cut << false;
            QTest::addRow("content length, CRLF, cut every %d", cut) << int(TestEngine::Framing::ContentLength) << cut << true;
        }
        QTest::addRow("close delimited") << int(TestEngine::Framing::CloseDelimited) << 5 << false;
    }
    void framingAndCutsDoNotMatter()
    {
        QFETCH(int, framing); QFETCH(int, cut); QFETCH(bool, crlf);
        // Multi-byte characters cut between writes must come out whole.
        const QStringList words{"Ça", " 漢字", " 🦅", " \"quoted\"\n"};
        QByteArray body = TestEngine::joined(TestEngine::chatLines(model, words));
        if (crlf)
            body.replace("\n", "\r\n");
        m_engine->scriptOnce("/api/chat", Reply{.framing = TestEngine::Framing(framing), .writes = TestEngine::cutEvery(body, cut)});
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QCOMPARE(c.pieces, words);
        QCOMPARE(c.finished, 1);
    }

    void replies_data()
    {
        QTest::addColumn<Reply>("reply"), QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QList<OllamaError>>("errors"); // empty: finished
        const QList<OllamaError> none, unreachable{OllamaError::unreachable()};
        // Empty lines, non-JSON, wrong types and error objects deliver nothing; the stream reads on.
        QTest::newRow("odd lines skipped") << Reply::stream({"\n", "not json at all\n", chatLine("A"), "\r\n", R"({"message":"wrong type"})" "\n",
                                                             R"({"done":"yes"})" "\n", R"({"error":"out of memory"})" "\n", chatLine("B"),
                                                             TestEngine::chatLines(model, {}).first()})
                                           << QStringList{"A", "B"} << none;
        QTest::newRow("error line only") << Reply::stream({R"({"error":"model runner crashed"})" "\n"}) << QStringList() << none;
        QTest::newRow("final line with text") << Reply::stream({chatLine("Done"), chatLine(".", true)}) << QStringList{"Done", "."} << none;
        QTest::newRow("last line without LF") << Reply::stream({chatLine("Red"), R"({"message":{"content":"!"}})"}) << QStringList{"Red", "!"} << none;
        // The engine goes on after "done": nothing of it is read, and the stream closes the connection.
        QTest::newRow("more after the final line") << Reply{.writes = {chatLine("one"), chatLine("", true), chatLine("after"), chatLine("more")},
                                                            .interval = 50ms, .end = Reply::End::Never}
                                                   << QStringList{"one"} << none;
        QTest::newRow("connection lost mid-reply") << Reply{.writes = {chatLine("Some"), chatLine(" answer"), "{\"message\":{\"content\":\"cut o"},
                                                            .end = Reply::End::CloseMidBody}
                                                   << QStringList{"Some", " answer"} << unreachable;
        QTest::newRow("not HTTP") << Reply{.notHttp = true} << QStringList() << unreachable;
        // Found by fuzzing: text framed before a bad chunk size in the same read was dropped.
        const QByteArray kept = chatLine("Kept");
        QTest::newRow("bad chunk after a good one") << Reply{.headers = {{"Transfer-Encoding", "chunked"}}, .framing = TestEngine::Framing::CloseDelimited,
                                                             .writes = {QByteArray::number(kept.size(), 16) + "\r\n" + kept + "\r\nzz\r\n"}}
                                                    << QStringList{"Kept"} << unreachable;
        // Bodies that would give text if they were read; a redirect's address is not followed.
        const QList<QByteArray> text = TestEngine::chatLines(model, {"never"});
        for (int status : {404, 500, 204, 302})
            QTest::addRow("status %d", status) << Reply{.status = status, .headers = {{"Location", "http://192.0.2.1:11434/api/chat"}}, .writes = text}
                                               << QStringList() << QList<OllamaError>{OllamaError::badResponse(status)};
    }
    void replies()
    {
        QFETCH(Reply, reply); QFETCH(QStringList, pieces); QFETCH(QList<OllamaError>, errors);
        m_engine->script("/api/chat", reply); // a retry, were there one, would meet it too
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY(c.ended());
        QTRY_COMPARE(m_engine->openConnections(), 0);
        QTest::qWait(200); // nothing more after the end
        QCOMPARE(c.pieces, pieces);
        QCOMPARE(c.errors, errors);
        QCOMPARE(c.finished, errors.isEmpty() ? 1 : 0);
        QCOMPARE(m_engine->requests("/api/chat").size(), 1);
    }

    void resetAtRandomOffsets()
    {
        // An engine that crashes mid-reply: the connection reset anywhere (head, chunk sizes, inside a
        // character). Each stream ends once: finished with every piece, or unreachable with a prefix.
        QRandomGenerator random(TestSupport::faultSeed());
        const QStringList words = TestEngine::words("Ça va? 漢字 and 🦅 fly over the \"quiet\" harbour tonight.");
        const QByteArray body = TestEngine::joined(TestEngine::chatLines(model, words));
        std::vector<std::pair<std::unique_ptr<TextStream>, std::unique_ptr<Collector>>> runs;
        for (int run = 0; run < 100; ++run) {
            // Chunked or with a length; a reset past the whole reply is a normal end.
            const auto framing = run % 2 ? TestEngine::Framing::ContentLength : TestEngine::Framing::Chunked;
            const QList<QByteArray> writes = TestEngine::cutEvery(body, 8 + random.bounded(120));
            const int offset = random.bounded(int(body.size() + writes.size() * 8) + 150); // heads are about 110 bytes
            m_engine->scriptOnce("/api/chat", Reply{.framing = framing, .writes = writes, .resetAfter = offset});
            auto &[stream, c] = runs.emplace_back(chatStream(), nullptr);
            c = std::make_unique<Collector>(stream.get());
            QTRY_VERIFY(c->ended());
            const QByteArray where = "run " + QByteArray::number(run) + ", reset after " + QByteArray::number(offset);
            QVERIFY2(words.mid(0, c->pieces.size()) == c->pieces, where);
            QVERIFY2(c->finished ? c->pieces == words : c->errors == QList{OllamaError::unreachable()}, where);
        }
        QTRY_COMPARE(m_engine->openConnections(), 0);
        QTest::qWait(100);
        for (const auto &[stream, c] : runs)
            QCOMPARE(c->finished + c->errors.size(), 1);
    }

    void tenMegabyteLine()
    {
        // One line of 10 MB, in many reads: as text it arrives whole; as junk it is skipped.
        const QString huge(10'000'000, u'x');
        const QByteArray junk = "{\"message\":" + QByteArray(10'000'000, '[') + "\n";
        m_engine->scriptOnce("/api/chat", Reply{.writes = TestEngine::cutEvery(chatLine(huge) + junk + TestEngine::joined(TestEngine::chatLines(model, {"after"})), 65536)});
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_VERIFY_WITH_TIMEOUT(c.ended(), 60000);
        QCOMPARE(c.finished, 1);
        QCOMPARE(c.pieces.size(), 2);
        QVERIFY(c.pieces.first() == huge);
        QCOMPARE(c.pieces.last(), "after");
    }

    void noEngineOnThePort()
    {
        m_engine.reset(); // nothing listens on the port now
        auto chat = chatStream();
        auto generate = OllamaClient::streamGenerate("moondream", "p", "IMG");
        auto pull = OllamaClient::pull("moondream");
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

    void cancelOrDropClosesTheConnectionAtOnce_data()
    {
        QTest::addColumn<bool>("drop");
        QTest::newRow("cancel") << false;
        QTest::newRow("drop") << true;
    }
    void cancelOrDropClosesTheConnectionAtOnce()
    {
        QFETCH(bool, drop);
        m_engine->scriptOnce("/api/chat", Reply::stream(TestEngine::chatLines(model, {"one", "two", "three", "four"}), 300ms));
        QSignalSpy closed(m_engine.get(), &TestEngine::connectionClosed);
        auto stream = chatStream();
        Collector c(stream.get());
        QTRY_COMPARE_WITH_TIMEOUT(c.pieces.size(), 1, 3000);
        QVERIFY(!c.ended()); // each line reaches the consumer as it is sent
        drop ? stream.reset() : stream->cancel();
        QTRY_VERIFY_WITH_TIMEOUT(closed.count() >= 1, 800); // the reply itself runs 900 ms more
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

    void chatGathersTheWholeReplyAndPreloadIgnoresFailures()
    {
        m_engine->setChatReply({"It is", " four."});
        auto reply = OllamaClient::chat(model, {{"user", "2+2?", std::nullopt}}, "Be short.");
        QSignalSpy done(reply.get(), &ChatReply::finished);
        QVERIFY(done.wait(5000));
        QCOMPARE(done.at(0).at(0).toString(), "It is four.");

        m_engine->scriptOnce("/api/chat", Reply{.writes = {chatLine("Half")}, .end = Reply::End::CloseMidBody});
        auto failing = OllamaClient::chat(model, {}, std::nullopt);
        QSignalSpy failed(failing.get(), &ChatReply::failed);
        QSignalSpy finished(failing.get(), &ChatReply::finished);
        QVERIFY(failed.wait(5000));
        QCOMPARE(finished.count(), 0);

        m_engine->scriptOnce("/api/generate", Reply::json(500, {{"error", "boom"}}));
        bool preloaded = false;
        OllamaClient::preload(model, this, [&] { preloaded = true; });
        QTRY_VERIFY(preloaded);
    }

    void installedModels_data()
    {
        QTest::addColumn<int>("status"), QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QVariant>("expected"); // QStringList, or invalid for absent
        QTest::newRow("empty list") << 200 << QByteArray(R"({"models":[]})") << QVariant(QStringList());
        QTest::newRow("two models") << 200 << QByteArray(R"({"models":[{"name":"b:1"},{"name":"a:latest"}]})") << QVariant(QStringList{"b:1", "a:latest"});
        QTest::newRow("server error") << 500 << QByteArray(R"({"models":[]})") << QVariant();
        QTest::newRow("malformed") << 200 << QByteArray(R"({"models":[{"nom":"x"}]})") << QVariant();
        QTest::newRow("not JSON") << 200 << QByteArray("<html>") << QVariant();
    }
    void installedModels()
    {
        QFETCH(int, status); QFETCH(QByteArray, body); QFETCH(QVariant, expected);
        m_engine->scriptOnce("/api/tags", Reply{.status = status, .framing = TestEngine::Framing::ContentLength, .writes = {body}});
        std::optional<std::optional<QStringList>> result;
        OllamaClient::installedModels(this, [&](std::optional<QStringList> models) { result = models; });
        QTRY_VERIFY(result.has_value());
        QCOMPARE(result->has_value(), expected.isValid());
        if (expected.isValid())
            QCOMPARE(**result, expected.toStringList());
    }

    void installedModelsGivesUpAfterTwoAndAHalfSeconds()
    {
        m_engine->scriptOnce("/api/tags", Reply{.silent = true});
        std::optional<std::optional<QStringList>> result;
        QElapsedTimer clock;
        clock.start();
        OllamaClient::installedModels(this, [&](std::optional<QStringList> models) { result = models; });
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 10000);
        QCOMPARE(*result, std::nullopt);
        QVERIFY2(clock.elapsed() >= 2400 && clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));

        // A callback whose context is gone is skipped.
        bool called = false;
        {
            QObject context;
            OllamaClient::installedModels(&context, [&](std::optional<QStringList>) { called = true; });
        }
        QTest::qWait(300);
        QVERIFY(!called);
    }

    void pullReportsEveryStepAndEndsOnSuccess()
    {
        m_engine->setInstalledModels({});
        auto pull = OllamaClient::pull("moondream");
        Collector c(pull.get());
        QTRY_VERIFY_WITH_TIMEOUT(c.ended(), 10000);
        QCOMPARE(c.finished, 1);
        QVERIFY(c.steps.size() > 5);
        QCOMPARE(c.steps.first().status, "pulling manifest");
        QCOMPARE(c.steps.last().status, "success");
        QVERIFY(std::any_of(c.steps.cbegin(), c.steps.cend(),
                            [](const PullProgress &p) { return p.digest && p.total && p.completed; }));
        QCOMPARE(m_engine->requests("/api/pull").at(0).json(), (QJsonObject{{"model", "moondream"}, {"stream", true}}));

        // Only the exact "success" ends it; an error line is a step with an empty status.
        m_engine->scriptOnce("/api/pull", Reply{.writes = {R"({"status":"Success"})" "\n", R"({"error":"disk full"})" "\n",
                                                           R"({"status":"success"})" "\n", R"({"status":"after"})" "\n"},
                                                .end = Reply::End::Never});
        auto exact = OllamaClient::pull("moondream");
        Collector e(exact.get());
        QTRY_VERIFY(e.ended());
        QStringList statuses;
        for (const PullProgress &p : e.steps)
            statuses << p.status;
        QCOMPARE(statuses, (QStringList{"Success", "", "success"}));
        QCOMPARE(e.finished, 1);
    }
};

KESTRIN_TEST_MAIN(OllamaClientTest)
#include "tst_ollamaclient.moc"
