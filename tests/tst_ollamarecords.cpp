// The engine client's pure parts: records, error texts, request bodies, names and addresses.

#include "OllamaClient.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
QJsonObject object(const QByteArray &json) { return QJsonDocument::fromJson(json).object(); }
} // namespace

class OllamaRecordsTest : public QObject
{
    Q_OBJECT

private slots:
    void errorTexts()
    {
        QCOMPARE(OllamaError::badResponse(404).errorDescription(), "Ollama returned an error (HTTP 404). The model may not be installed yet.");
        QCOMPARE(OllamaError::unreachable().errorDescription(), "Ollama isn't running. Start it (ollama serve), or run setup from the tray icon.");
        QCOMPARE(OllamaError::transport("The request timed out.").errorDescription(), "The request timed out.");
        QCOMPARE(OllamaError::badResponse(500).status(), 500);
    }

    void records()
    {
        auto c = ChatChunk::decode(R"({"message":{"role":"assistant","content":"Hi"},"done":false})");
        QVERIFY(c && c->message && c->message->content == "Hi" && c->done == false);
        c = ChatChunk::decode(R"({"done":true})");
        QVERIFY(c && !c->message && c->done == true);
        c = ChatChunk::decode(R"({"error":"model crashed"})");
        QVERIFY(c && !c->message && !c->done);
        c = ChatChunk::decode(R"({"message":null,"done":null})");
        QVERIFY(c && !c->message && !c->done);
        c = ChatChunk::decode(R"({"message":{"role":"assistant"}})");
        QVERIFY(c && c->message && !c->message->content);
        // Wrong types fail the record, so the stream skips the line.
        for (const char *bad : {R"({"done":"yes"})", R"({"message":"Hi"})", R"({"message":{"content":5}})", "[1]", "not json", ""})
            QVERIFY2(!ChatChunk::decode(bad), bad);

        const auto g = GenerateChunk::decode(R"({"response":"A cat","done":false,"context":[1,2]})");
        QVERIFY(g && g->response == "A cat" && g->done == false);
        QVERIFY(!GenerateChunk::decode(R"({"response":1})"));

        auto p = PullChunk::decode(R"({"status":"pulling abc","digest":"sha256:abc","total":2019393189,"completed":1048576})");
        QVERIFY(p && p->total == 2019393189 && p->completed == 1048576);
        p = PullChunk::decode(R"({"status":"pulling manifest"})");
        QVERIFY(p && !p->digest && !p->total && !p->completed);
        QVERIFY(PullChunk::decode(R"({"error":"pull model manifest: file does not exist"})"));
        QVERIFY(!PullChunk::decode(R"({"status":"x","total":1.5})"));
        QVERIFY(!PullChunk::decode(R"({"status":"x","total":"12"})"));
        QCOMPARE(PullChunk::decode(R"({"total":8.0e9})")->total, qint64(8'000'000'000));

        QCOMPARE(TagsResponse::decode(R"({"models":[]})")->models, QStringList());
        QCOMPARE(TagsResponse::decode(R"({"models":[{"name":"moondream:latest","size":1},{"name":"llama3.2:3b"}]})")->models,
                 (QStringList{"moondream:latest", "llama3.2:3b"}));
        for (const char *bad : {R"({})", R"({"models":null})", R"({"models":[{"model":"x"}]})", R"({"models":[{"name":"a"},{"name":3}]})"})
            QVERIFY2(!TagsResponse::decode(bad), bad);
    }

    void requestBodies()
    {
        const QList<ChatTurn> history{{"user", "What is this?", "AAAA"}, {"assistant", "A cat.", std::nullopt}, {"user", "And this?", "BBBB"}};
        const QJsonObject withSystem = object(OllamaClient::chatBody("llama3.2:3b", history, "Be brief."));
        QCOMPARE(withSystem.keys(), (QStringList{"keep_alive", "messages", "model", "stream"}));
        QCOMPARE(withSystem.value("model").toString(), "llama3.2:3b");
        QCOMPARE(withSystem.value("stream"), QJsonValue(true));
        QCOMPARE(withSystem.value("keep_alive").toString(), "30m");
        const QJsonArray messages = withSystem.value("messages").toArray();
        QCOMPARE(messages.size(), 4);
        QCOMPARE(messages[0].toObject(), (QJsonObject{{"role", "system"}, {"content", "Be brief."}}));
        QCOMPARE(messages[1].toObject().value("images").toArray(), QJsonArray{"AAAA"});
        QCOMPARE(messages[2].toObject(), (QJsonObject{{"role", "assistant"}, {"content", "A cat."}}));
        QCOMPARE(messages[3].toObject().value("images").toArray(), QJsonArray{"BBBB"});
        QCOMPARE(object(OllamaClient::chatBody("m", {}, std::nullopt)).value("messages").toArray(), QJsonArray());
        // No image, no "images" key. (The warm-up and pull bodies are checked on the wire.)
        QCOMPARE(object(OllamaClient::generateBody("moondream", "p", std::nullopt)),
                 (QJsonObject{{"model", "moondream"}, {"prompt", "p"}, {"stream", true}, {"keep_alive", "30m"}}));
    }

    void hasModel_data()
    {
        QTest::addColumn<QString>("wanted"), QTest::addColumn<QStringList>("installed"), QTest::addColumn<bool>("found");
        QTest::newRow("bare name, latest installed") << "moondream" << QStringList{"llama3.2:3b", "moondream:latest"} << true;
        QTest::newRow("bare name, bare entry") << "moondream" << QStringList{"moondream"} << true;
        QTest::newRow("bare name, other tag") << "moondream" << QStringList{"moondream:1.8b", "moondream:v2"} << false;
        QTest::newRow("tagged, exact") << "llama3.2:3b" << QStringList{"llama3.2:3b"} << true;
        QTest::newRow("tagged, latest only") << "llama3.2:3b" << QStringList{"llama3.2:latest", "llama3.2"} << false;
        QTest::newRow("case matters") << "moondream" << QStringList{"Moondream:latest"} << false;
        QTest::newRow("nothing installed") << "moondream" << QStringList{} << false;
    }
    void hasModel()
    {
        QFETCH(QString, wanted); QFETCH(QStringList, installed); QFETCH(bool, found);
        QCOMPARE(OllamaClient::hasModel(wanted, installed), found);
    }

    void ollamaHost_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("url"); // empty: ignored
        QTest::newRow("address and port") << "127.0.0.1:5000" << "http://127.0.0.1:5000";
        QTest::newRow("address only") << "127.0.0.1" << "http://127.0.0.1:11434";
        QTest::newRow("other loopback") << "127.3.4.5:99" << "http://127.3.4.5:99";
        QTest::newRow("scheme and slash") << "http://127.0.0.1:8080/" << "http://127.0.0.1:8080";
        QTest::newRow("localhost") << "LOCALHOST:7000" << "http://127.0.0.1:7000";
        QTest::newRow("IPv6 loopback") << "[::1]:7000" << "http://[::1]:7000";
        QTest::newRow("IPv6 bare") << "::1" << "http://[::1]:11434";
        QTest::newRow("listening everywhere") << "0.0.0.0:11500" << "http://127.0.0.1:11500";
        QTest::newRow("LAN address") << "192.168.1.20:11434" << "";
        QTest::newRow("public address") << "8.8.8.8" << "";
        QTest::newRow("host name") << "gpu-box:11434" << "";
        QTest::newRow("https") << "https://127.0.0.1" << "";
        QTest::newRow("a path") << "127.0.0.1:11434/api" << "";
        QTest::newRow("user info") << "me@127.0.0.1" << "";
        QTest::newRow("bad port") << "127.0.0.1:99999" << "";
        QTest::newRow("empty port") << "127.0.0.1:" << "";
        QTest::newRow("port text") << "127.0.0.1:http" << "";
        QTest::newRow("mapped v4 on v6 elsewhere") << "[::ffff:10.0.0.1]:1" << "";
    }
    void ollamaHost()
    {
        QFETCH(QString, value); QFETCH(QString, url);
        const std::optional<QUrl> result = OllamaClient::loopbackURL(value);
        QCOMPARE(result ? result->toString() : QString(), url);
    }
};

KESTRIN_TEST_MAIN(OllamaRecordsTest)
#include "tst_ollamarecords.moc"
