// The engine stand-in itself, checked from the wire with a bare socket, so that client tests
// built on it can trust what it sends.

#include "TestEngine.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

using namespace std::chrono_literals;

namespace {

constexpr int waitMs = 10000;

/// One HTTP response read from the front of a byte stream.
struct Response
{
    int status = 0;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QList<QByteArray> chunks; // as framed, for chunked bodies
    bool complete = false;    // the framing says the body has ended
    qsizetype consumed = 0;

    QByteArray header(const QByteArray &name) const
    {
        for (const auto &[key, value] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return {};
    }
    QList<QJsonObject> lines() const
    {
        QList<QJsonObject> objects;
        for (const QByteArray &line : body.split('\n')) {
            if (!line.isEmpty())
                objects.append(QJsonDocument::fromJson(line).object());
        }
        return objects;
    }
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

Response parseResponse(const QByteArray &data)
{
    Response response;
    const qsizetype headEnd = data.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return response;
    const QList<QByteArray> lines = data.left(headEnd).split('\n');
    response.status = lines.first().split(' ').value(1).toInt();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        response.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    qsizetype pos = headEnd + 4;
    if (response.header("Transfer-Encoding") == "chunked") {
        for (;;) {
            const qsizetype sizeEnd = data.indexOf("\r\n", pos);
            if (sizeEnd < 0)
                return response;
            bool ok = false;
            const qsizetype size = data.mid(pos, sizeEnd - pos).toLongLong(&ok, 16);
            if (!ok || data.size() < sizeEnd + 2 + size + 2)
                return response;
            pos = sizeEnd + 2 + size + 2;
            if (size == 0) {
                response.complete = true;
                break;
            }
            response.chunks.append(data.mid(sizeEnd + 2, size));
            response.body += response.chunks.last();
        }
    } else if (const QByteArray length = response.header("Content-Length"); !length.isEmpty()) {
        response.body = data.mid(pos, length.toLongLong());
        response.complete = response.body.size() == length.toLongLong();
        pos += response.body.size();
    } else {
        response.body = data.mid(pos); // ends with the connection
        pos = data.size();
    }
    response.consumed = pos;
    return response;
}

/// A bare client connection that keeps everything it receives.
class Client
{
public:
    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            ++reads;
            received += socket.readAll();
        });
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket.connectToHost(QHostAddress::LocalHost, port);
        // Loopback connects at once; writing before then would only be buffered.
        socket.waitForConnected(waitMs);
    }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    /// Runs the event loop until @p done, checking whenever bytes arrive. (QTest::qWaitFor
    /// sleeps between its checks, which would stretch every drip-fed reply.)
    bool waitFor(const std::function<bool()> &done)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.hasExpired(waitMs))
                return false;
            QEventLoop loop;
            QTimer::singleShot(20, &loop, &QEventLoop::quit);
            QObject::connect(&socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
            QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return true;
    }

    /// Waits for the next complete response and takes it off the received bytes.
    Response next()
    {
        Response response;
        if (waitFor([&] { return (response = parseResponse(received)).complete; }))
            received.remove(0, response.consumed);
        return response;
    }

    bool waitClosed()
    {
        return waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; });
    }

    QTcpSocket socket;
    QByteArray received;
    int reads = 0;
};

QByteArray get(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n";
}

QByteArray post(const QByteArray &path, const QJsonObject &body)
{
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
           "Content-Length: " + QByteArray::number(json.size()) + "\r\n\r\n" + json;
}

QJsonObject chatBody(const QString &model, bool stream = true)
{
    return {{QStringLiteral("model"), model},
            {QStringLiteral("messages"),
             QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                    {QStringLiteral("content"), QStringLiteral("Hi")}}}},
            {QStringLiteral("stream"), stream},
            {QStringLiteral("keep_alive"), QStringLiteral("30m")}};
}

} // namespace

class TestEngineTest : public QObject
{
    Q_OBJECT

private slots:
    void chatStreamsOneChunkPerLine()
    {
        TestEngine engine;
        QVERIFY(engine.listen());
        engine.setChatReply({QStringLiteral("Hello"), QStringLiteral(" there"), QStringLiteral("!")});
        Client client(engine.port());
        client.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        const Response response = client.next();
        QVERIFY(response.complete);
        QCOMPARE(response.status, 200);
        QCOMPARE(response.header("Content-Type"), "application/x-ndjson");
        QCOMPARE(response.header("Transfer-Encoding"), "chunked");
        QCOMPARE(response.chunks.size(), 4);
        for (const QByteArray &chunk : response.chunks) {
            QVERIFY(chunk.endsWith('\n'));
            QCOMPARE(chunk.count('\n'), 1);
            QVERIFY(chunk.startsWith("{\"model\":\"llama3.2:3b\",\"created_at\":\""));
        }
        const QList<QJsonObject> lines = response.lines();
        QString text;
        for (qsizetype i = 0; i < 3; ++i) {
            QCOMPARE(lines[i].value(QStringLiteral("done")).toBool(), false);
            const QJsonObject message = lines[i].value(QStringLiteral("message")).toObject();
            QCOMPARE(message.value(QStringLiteral("role")).toString(), QStringLiteral("assistant"));
            text += message.value(QStringLiteral("content")).toString();
        }
        QCOMPARE(text, QStringLiteral("Hello there!"));
        const QJsonObject last = lines[3];
        QCOMPARE(last.value(QStringLiteral("done")).toBool(), true);
        QCOMPARE(last.value(QStringLiteral("done_reason")).toString(), QStringLiteral("stop"));
        QCOMPARE(last.value(QStringLiteral("message")).toObject().value(QStringLiteral("content")).toString(), QString());
        QVERIFY(last.value(QStringLiteral("eval_count")).toInt() > 0);
        QVERIFY(last.value(QStringLiteral("total_duration")).toInteger() > 0);

        // Generate streams "response" pieces the same way.
        client.send(post("/api/generate", {{QStringLiteral("model"), QStringLiteral("moondream")},
                                           {QStringLiteral("prompt"), QStringLiteral("What is this?")},
                                           {QStringLiteral("images"), QJsonArray{QStringLiteral("aGVsbG8=")}}}));
        const QList<QJsonObject> generated = client.next().lines();
        QCOMPARE(generated.size(), 4);
        QCOMPARE(generated[1].value(QStringLiteral("response")).toString(), QStringLiteral(" there"));
        QCOMPARE(generated[3].value(QStringLiteral("done")).toBool(), true);
        QCOMPARE(generated[3].value(QStringLiteral("done_reason")).toString(), QStringLiteral("stop"));
        QCOMPARE(engine.connectionCount(), 1); // both on one kept-alive connection
    }

    void contentLengthFraming()
    {
        TestEngine engine;
        QVERIFY(engine.listen());
        Client client(engine.port());

        // Not streamed: one object with the whole message.
        client.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"), false)));
        Response response = client.next();
        QCOMPARE(response.status, 200);
        QVERIFY(response.header("Transfer-Encoding").isEmpty());
        QCOMPARE(response.header("Content-Length").toInt(), response.body.size());
        QJsonObject whole = response.json();
        QCOMPARE(whole.value(QStringLiteral("done")).toBool(), true);
        QCOMPARE(whole.value(QStringLiteral("message")).toObject().value(QStringLiteral("content")).toString(),
                 QStringLiteral("Hello! How can I help you today?"));

        // The warm-up loads the model and says so.
        client.send(post("/api/generate", {{QStringLiteral("model"), QStringLiteral("llama3.2:3b")},
                                           {QStringLiteral("prompt"), QString()},
                                           {QStringLiteral("stream"), false},
                                           {QStringLiteral("keep_alive"), QStringLiteral("30m")}}));
        response = client.next();
        QCOMPARE(response.status, 200);
        whole = response.json();
        QCOMPARE(whole.value(QStringLiteral("response")).toString(), QString());
        QCOMPARE(whole.value(QStringLiteral("done")).toBool(), true);
        QCOMPARE(whole.value(QStringLiteral("done_reason")).toString(), QStringLiteral("load"));

        // A scripted stream framed by Content-Length instead of chunks.
        TestEngine::Reply reply = TestEngine::Reply::stream(
            TestEngine::chatLines(QStringLiteral("llama3.2:3b"), {QStringLiteral("A"), QStringLiteral("B")}));
        reply.framing = TestEngine::Framing::ContentLength;
        engine.scriptOnce("/api/chat", reply);
        client.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        response = client.next();
        QVERIFY(response.header("Transfer-Encoding").isEmpty());
        QCOMPARE(response.header("Content-Type"), "application/x-ndjson");
        QCOMPARE(response.body, TestEngine::joined(reply.writes));
        QCOMPARE(response.lines().size(), 3);
        QCOMPARE(engine.connectionCount(), 1);
    }

    void unknownModelIs404()
    {
        TestEngine engine;
        QVERIFY(engine.listen());
        Client client(engine.port());
        client.send(post("/api/chat", chatBody(QStringLiteral("mistral:7b"))));
        Response response = client.next();
        QCOMPARE(response.status, 404);
        QVERIFY(response.header("Content-Type").startsWith("application/json"));
        QCOMPARE(response.body, QByteArray("{\"error\":\"model \\\"mistral:7b\\\" not found, try pulling it first\"}"));

        client.send(post("/api/generate", {{QStringLiteral("model"), QStringLiteral("mistral:7b")},
                                           {QStringLiteral("prompt"), QStringLiteral("hi")}}));
        response = client.next();
        QCOMPARE(response.status, 404);
        QCOMPARE(response.json(), TestEngine::modelNotFound(QStringLiteral("mistral:7b")));

        client.send(get("/api/nothing-here"));
        QCOMPARE(client.next().status, 404);
    }

    void cutWritesReassemble()
    {
        TestEngine engine;
        QVERIFY(engine.listen());
        const QList<QByteArray> lines = TestEngine::chatLines(
            QStringLiteral("llama3.2:3b"), TestEngine::words(QStringLiteral("Ünïcödé words, split anywhere at all.")));
        const QByteArray all = TestEngine::joined(lines);
        const QList<QByteArray> pieces = TestEngine::cutEvery(all, 7);
        QCOMPARE(TestEngine::joined(pieces), all);
        QCOMPARE(pieces.first().size(), 7);
        QCOMPARE(TestEngine::cutAt("abcdef", {4, 1, 1, 99}), (QList<QByteArray>{"a", "bcd", "ef"}));

        engine.script("/api/chat", TestEngine::Reply::stream(pieces, 2ms));
        Client client(engine.port());
        client.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        const Response response = client.next();
        QVERIFY(response.complete);
        QCOMPARE(response.chunks, pieces); // every write its own chunk
        QCOMPARE(response.body, all);
        QVERIFY(client.reads > 1);         // and they came over time, not all at once
        QCOMPARE(response.lines().size(), lines.size());

        // The script stays until cleared.
        client.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        QCOMPARE(client.next().body, all);
        engine.clearScripts();
        engine.setChatReply({QStringLiteral("x")});
        client.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        QCOMPARE(client.next().lines().size(), 2);
    }

    void scriptedEndings()
    {
        TestEngine engine;
        QVERIFY(engine.listen());
        QSignalSpy closed(&engine, &TestEngine::connectionClosed);

        // Dropped mid-body: no terminating chunk, then the connection ends.
        TestEngine::Reply cut = TestEngine::Reply::stream({TestEngine::line({{QStringLiteral("a"), 1}})});
        cut.end = TestEngine::Reply::End::CloseMidBody;
        engine.scriptOnce("/api/chat", cut);
        Client dropped(engine.port());
        dropped.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        QVERIFY(dropped.waitClosed());
        Response response = parseResponse(dropped.received);
        QCOMPARE(response.chunks.size(), 1);
        QVERIFY(!response.complete);
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, waitMs);

        // Content-Length promising more than comes.
        cut.framing = TestEngine::Framing::ContentLength;
        engine.scriptOnce("/api/chat", cut);
        Client shortBody(engine.port());
        shortBody.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        QVERIFY(shortBody.waitClosed());
        QVERIFY(!parseResponse(shortBody.received).complete);

        // A body that ends with the connection, and a client that asks to close.
        TestEngine::Reply untilClose = TestEngine::Reply::stream({"{\"a\":1}\n", "{\"a\":2}\n"});
        untilClose.framing = TestEngine::Framing::CloseDelimited;
        engine.scriptOnce("/api/chat", untilClose);
        Client readsToEnd(engine.port());
        readsToEnd.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        QVERIFY(readsToEnd.waitClosed());
        response = parseResponse(readsToEnd.received);
        QCOMPARE(response.header("Connection"), "close");
        QVERIFY(response.header("Content-Length").isEmpty());
        QCOMPARE(response.body, "{\"a\":1}\n{\"a\":2}\n");
        Client leaving(engine.port());
        leaving.send("GET /api/tags HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QVERIFY(leaving.waitClosed());
        QCOMPARE(parseResponse(leaving.received).status, 200);

        // Not HTTP at all.
        TestEngine::Reply garbage;
        garbage.notHttp = true;
        engine.scriptOnce("/api/tags", garbage);
        Client confused(engine.port());
        confused.send(get("/api/tags"));
        QVERIFY(confused.waitClosed());
        QVERIFY(confused.received.startsWith("SSH-"));

        // Silent and never-ending replies hold the connection until the client gives up.
        TestEngine::Reply silent;
        silent.silent = true;
        engine.scriptOnce("/api/tags", silent);
        TestEngine::Reply hanging = TestEngine::Reply::stream({"{}\n"});
        hanging.end = TestEngine::Reply::End::Never;
        engine.scriptOnce("/api/chat", hanging);
        const int closedBefore = int(closed.count());
        Client waiting(engine.port());
        waiting.send(get("/api/tags"));
        Client stuck(engine.port());
        stuck.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        QVERIFY(stuck.waitFor([&] { return parseResponse(stuck.received).chunks.size() == 1; }));
        QTRY_COMPARE_WITH_TIMEOUT(engine.requests().size(), 7, waitMs);
        QVERIFY(waiting.received.isEmpty());
        QCOMPARE(engine.openConnections(), 2);
        waiting.socket.abort();
        stuck.socket.abort();
        QTRY_COMPARE_WITH_TIMEOUT(int(closed.count()), closedBefore + 2, waitMs);
        QCOMPARE(engine.openConnections(), 0);

        // A delayed reply sends nothing, head included, until its time.
        TestEngine::Reply late = TestEngine::Reply::json(200, {{QStringLiteral("models"), QJsonArray()}});
        late.delay = 50ms;
        engine.scriptOnce("/api/tags", late);
        Client patient(engine.port());
        patient.send(get("/api/tags"));
        QTRY_COMPARE_WITH_TIMEOUT(engine.requests().size(), 8, waitMs);
        QVERIFY(patient.received.isEmpty());
        QCOMPARE(patient.next().status, 200);
    }

    void engineGoingAwayClosesItsConnections()
    {
        auto *engine = new TestEngine;
        QVERIFY(engine->listen());
        TestEngine::Reply hanging = TestEngine::Reply::stream({"{}\n"}, 1ms);
        hanging.end = TestEngine::Reply::End::Never;
        engine->script("/api/chat", hanging);
        Client client(engine->port());
        client.send(post("/api/chat", chatBody(QStringLiteral("llama3.2:3b"))));
        QVERIFY(client.waitFor([&] { return !client.received.isEmpty(); }));
        delete engine;
        QVERIFY(client.waitClosed());
    }
};

KESTRIN_TEST_MAIN(TestEngineTest)
#include "tst_testengine.moc"
