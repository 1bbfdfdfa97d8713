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
        QCOMPARE(OllamaError::badResponse(404).errorDescription(),
                 QStringLiteral("Ollama returned an error (HTTP 404). The model may not be installed yet."));
        QCOMPARE(OllamaError::badResponse(-1).errorDescription(),
                 QStringLiteral("Ollama returned an error (HTTP -1). The model may not be installed yet."));
        QCOMPARE(OllamaError::unreachable().errorDescription(),
                 QStringLiteral("Ollama isn't running. Open the Ollama app, or run setup from the menu bar icon."));
        QCOMPARE(OllamaError::transport(QStringLiteral("The request timed out.")).errorDescription(),
                 QStringLiteral("The request timed out."));
        QCOMPARE(OllamaError::badResponse(500).status(), 500);
    }

    void chatChunks()
    {
        auto c = ChatChunk::decode(R"({"message":{"role":"assistant","content":"Hi"},"done":false})");
        QVERIFY(c && c->message && c->message->content == QStringLiteral("Hi") && c->done == false);
        c = ChatChunk::decode(R"({"done":true})");
        QVERIFY(c && !c->message && c->done == true);
        c = ChatChunk::decode(R"({"error":"model crashed"})");
        QVERIFY(c && !c->message && !c->done);
        c = ChatChunk::decode(R"({"message":null,"done":null})");
        QVERIFY(c && !c->message && !c->done);
        c = ChatChunk::decode(R"({"message":{"role":"assistant"}})");
        QVERIFY(c && c->message && !c->message->content);
        // Wrong types fail the record, so the stream skips the line.
        QVERIFY(!ChatChunk::decode(R"({"done":"yes"})"));
        QVERIFY(!ChatChunk::decode(R"({"message":"Hi"})"));
        QVERIFY(!ChatChunk::decode(R"({"message":{"content":5}})"));
        QVERIFY(!ChatChunk::decode("[1]"));
        QVERIFY(!ChatChunk::decode("not json"));
        QVERIFY(!ChatChunk::decode(""));
    }

    void generateAndPullChunks()
    {
        auto g = GenerateChunk::decode(R"({"response":"A cat","done":false,"context":[1,2]})");
        QVERIFY(g && g->response == QStringLiteral("A cat") && g->done == false);
        QVERIFY(!GenerateChunk::decode(R"({"response":1})"));

        auto p = PullChunk::decode(R"({"status":"pulling abc","digest":"sha256:abc","total":2019393189,"completed":1048576})");
        QVERIFY(p);
        QCOMPARE(p->total, qint64(2019393189));
        QCOMPARE(p->completed, qint64(1048576));
        p = PullChunk::decode(R"({"status":"pulling manifest"})");
        QVERIFY(p && !p->digest && !p->total && !p->completed);
        QVERIFY(PullChunk::decode(R"({"error":"pull model manifest: file does not exist"})"));
        QVERIFY(!PullChunk::decode(R"({"status":"x","total":1.5})"));
        QVERIFY(!PullChunk::decode(R"({"status":"x","total":"12"})"));
        QCOMPARE(PullChunk::decode(R"({"total":8.0e9})")->total, qint64(8'000'000'000));
    }

    void tags()
    {
        QCOMPARE(TagsResponse::decode(R"({"models":[]})")->models, QStringList());
        QCOMPARE(TagsResponse::decode(R"({"models":[{"name":"moondream:latest","size":1},{"name":"llama3.2:3b"}]})")->models,
                 (QStringList{"moondream:latest", "llama3.2:3b"}));
        QVERIFY(!TagsResponse::decode(R"({})"));
        QVERIFY(!TagsResponse::decode(R"({"models":null})"));
        QVERIFY(!TagsResponse::decode(R"({"models":[{"model":"x"}]})"));
        QVERIFY(!TagsResponse::decode(R"({"models":[{"name":"a"},{"name":3}]})"));
    }

    void chatBodies()
    {
        const QList<ChatTurn> history{{QStringLiteral("user"), QStringLiteral("What is this?"), QStringLiteral("AAAA")},
                                      {QStringLiteral("assistant"), QStringLiteral("A cat."), std::nullopt},
                                      {QStringLiteral("user"), QStringLiteral("And this?"), QStringLiteral("BBBB")}};
        const QJsonObject withSystem = object(OllamaClient::chatBody(QStringLiteral("llama3.2:3b"), history, QStringLiteral("Be brief.")));
        QCOMPARE(withSystem.keys(), (QStringList{"keep_alive", "messages", "model", "stream"}));
        QCOMPARE(withSystem.value("model").toString(), QStringLiteral("llama3.2:3b"));
        QCOMPARE(withSystem.value("stream"), QJsonValue(true));
        QCOMPARE(withSystem.value("keep_alive").toString(), QStringLiteral("30m"));
        const QJsonArray messages = withSystem.value("messages").toArray();
        QCOMPARE(messages.size(), 4);
        QCOMPARE(messages[0].toObject(), (QJsonObject{{"role", "system"}, {"content", "Be brief."}}));
        QCOMPARE(messages[1].toObject().value("images").toArray(), QJsonArray{"AAAA"});
        QCOMPARE(messages[2].toObject(), (QJsonObject{{"role", "assistant"}, {"content", "A cat."}}));
        QCOMPARE(messages[3].toObject().value("images").toArray(), QJsonArray{"BBBB"});

        const QJsonArray plain = object(OllamaClient::chatBody(QStringLiteral("m"), history.mid(1, 1), std::nullopt)).value("messages").toArray();
        QCOMPARE(plain, (QJsonArray{QJsonObject{{"role", "assistant"}, {"content", "A cat."}}}));
        QCOMPARE(object(OllamaClient::chatBody(QStringLiteral("m"), {}, std::nullopt)).value("messages").toArray(), QJsonArray());
    }

    void otherBodies()
    {
        QCOMPARE(object(OllamaClient::generateBody(QStringLiteral("moondream"), QStringLiteral("p"), std::nullopt)),
                 (QJsonObject{{"model", "moondream"}, {"prompt", "p"}, {"stream", true}, {"keep_alive", "30m"}}));
        QCOMPARE(object(OllamaClient::generateBody(QStringLiteral("moondream"), QStringLiteral("p"), QStringLiteral("IMG"))).value("images").toArray(),
                 QJsonArray{"IMG"});
        QCOMPARE(object(OllamaClient::warmUpBody(QStringLiteral("llama3.2:3b"))),
                 (QJsonObject{{"model", "llama3.2:3b"}, {"prompt", ""}, {"stream", false}, {"keep_alive", "30m"}}));
        QCOMPARE(object(OllamaClient::pullBody(QStringLiteral("moondream"))), (QJsonObject{{"model", "moondream"}, {"stream", true}}));
    }

    void hasModel_data()
    {
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<bool>("found");
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
        QFETCH(QString, wanted);
        QFETCH(QStringList, installed);
        QFETCH(bool, found);
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
        QFETCH(QString, value);
        QFETCH(QString, url);
        const std::optional<QUrl> result = OllamaClient::loopbackURL(value);
        QCOMPARE(result ? result->toString() : QString(), url);
    }
};

KESTRIN_TEST_MAIN(OllamaRecordsTest)
#include "tst_ollamarecords.moc"
