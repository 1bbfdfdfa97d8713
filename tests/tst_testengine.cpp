// The engine stand-in seen from a bare socket: what the client tests cannot see (chunk
// boundaries, framing headers, bodies really cut short, connections held open), so that they
// can trust it.

#include "TestEngine.h"
#include "TestSupport.h"

#include <QSignalSpy>
#include <QTcpSocket>

using Reply = TestEngine::Reply;
using Framing = TestEngine::Framing;

namespace {

const QByteArray request = "POST /api/chat HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}";

struct Wire
{
    QByteArray head;
    QList<QByteArray> chunks; // as framed; the whole body when not chunked
    bool complete = false;    // the framing says the body ended
};

Wire parse(const QByteArray &data)
{
    Wire wire;
    const qsizetype headEnd = data.indexOf("\r\n\r\n");
    wire.head = data.left(headEnd + 2);
    qsizetype pos = headEnd + 4;
    if (wire.head.contains("\r\nTransfer-Encoding: chunked\r\n")) {
        for (;;) {
            const qsizetype sizeEnd = data.indexOf("\r\n", pos);
            bool ok = false;
            const qsizetype size = data.mid(pos, sizeEnd - pos).toLongLong(&ok, 16);
            if (sizeEnd < 0 || !ok || data.size() < sizeEnd + 4 + size)
                return wire;
            if (size == 0) {
                wire.complete = data.size() == sizeEnd + 4; // nothing after the last chunk
                return wire;
            }
            wire.chunks.append(data.mid(sizeEnd + 2, size));
            pos = sizeEnd + 4 + size;
        }
    }
    wire.chunks = {data.mid(pos)};
    const qsizetype at = wire.head.indexOf("\r\nContent-Length: ");
    const QByteArray length = wire.head.mid(at + 18, wire.head.indexOf('\r', at + 2) - at - 18);
    wire.complete = at < 0 || wire.chunks[0].size() == length.toLongLong(); // else ends with the connection
    return wire;
}

} // namespace

class TestEngineTest : public QObject
{
    Q_OBJECT

private slots:
    void framing_data()
    {
        QTest::addColumn<Framing>("framing"), QTest::addColumn<Reply::End>("end");
        QTest::addColumn<QByteArray>("header"); // empty: neither length nor chunks
        QTest::addColumn<bool>("complete");
        QTest::newRow("chunked") << Framing::Chunked << Reply::End::Normally << QByteArray("Transfer-Encoding: chunked") << true;
        QTest::newRow("chunked, cut") << Framing::Chunked << Reply::End::CloseMidBody << QByteArray("Transfer-Encoding: chunked") << false;
        QTest::newRow("length") << Framing::ContentLength << Reply::End::Normally << QByteArray("Content-Length: 34") << true;
        QTest::newRow("length, cut") << Framing::ContentLength << Reply::End::CloseMidBody << QByteArray("Content-Length: 35") << false;
        QTest::newRow("close delimited") << Framing::CloseDelimited << Reply::End::Normally << QByteArray() << true;
    }
    void framing()
    {
        QFETCH(Framing, framing); QFETCH(Reply::End, end); QFETCH(QByteArray, header); QFETCH(bool, complete);
        TestEngine engine;
        QVERIFY(engine.listen());
        const QByteArray body = "{\"a\":\"\xc3\xbc\"}\n{\"b\":2}\n{\"c\":\"\xe6\xbc\xa2\xe5\xad\x97\"}\n";
        const Reply reply{.framing = framing, .writes = TestEngine::cutEvery(body, 7) /* cuts inside characters */, .end = end};
        engine.script("/api/chat", reply);

        QTcpSocket socket;
        QByteArray data;
        connect(&socket, &QTcpSocket::readyRead, this, [&] { data += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, engine.port());
        socket.write(request);
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState); // the engine closes
        const Wire wire = parse(data);
        QVERIFY2(wire.head.startsWith("HTTP/1.1 200 OK\r\n"), wire.head.constData());
        QVERIFY(wire.head.contains("\r\nConnection: close\r\n"));
        if (header.isEmpty())
            QVERIFY(!wire.head.contains("Content-Length") && !wire.head.contains("Transfer-Encoding"));
        else
            QVERIFY2(wire.head.contains("\r\n" + header + "\r\n"), wire.head.constData());
        QCOMPARE(wire.complete, complete);
        QCOMPARE(TestEngine::joined(wire.chunks), body);
        if (framing == Framing::Chunked)
            QCOMPARE(wire.chunks, reply.writes); // every write its own chunk
    }

    void heldConnectionsCloseFromEitherSide()
    {
        auto engine = std::make_unique<TestEngine>();
        QVERIFY(engine->listen());
        engine->script("/api/chat", Reply{.writes = {"{}\n"}, .end = Reply::End::Never});
        QSignalSpy closed(engine.get(), &TestEngine::connectionClosed);
        QTcpSocket first, second;
        for (QTcpSocket *socket : {&first, &second}) {
            socket->connectToHost(QHostAddress::LocalHost, engine->port());
            socket->write(request);
        }
        QTRY_VERIFY(first.bytesAvailable() > 0 && second.bytesAvailable() > 0);
        QTest::qWait(100);
        QCOMPARE(engine->openConnections(), 2);
        QCOMPARE(closed.count(), 0);
        QVERIFY(!parse(first.readAll()).complete);

        first.abort();
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(engine->openConnections(), 1);
        engine.reset(); // the engine going away closes the rest
        QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
    }
};

KESTRIN_TEST_MAIN(TestEngineTest)
#include "tst_testengine.moc"
