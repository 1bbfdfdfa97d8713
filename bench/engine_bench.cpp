// Streaming throughput and latency of the engine client.
//
// 1. 200,000 small chat pieces (about 10 MB of NDJSON) from the test engine through
//    OllamaClient::streamChat, and the same bytes through a minimal reader (blocking socket,
//    split lines, parse each as JSON, nothing else). Prints both rates and their ratio.
// 2. Resident memory while the client stream runs, sampled every 10 % of the stream.
// 3. Latency from a server writing a line to the consumer receiving it (median, 99th).
// The servers run on their own threads so the client's thread only consumes.

#include "BenchSupport.h"
#include "HttpExchange.h"
#include "OllamaClient.h"
#include "TestEngine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int pieceCount = 200'000;
const QString model = QStringLiteral("llama3.2:3b");

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/// Runs @p object's thread until the bench ends; the object lives there.
template<typename T>
T *onOwnThread(T *object, QThread &thread)
{
    object->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, object, &QObject::deleteLater);
    thread.start();
    return object;
}

/// The minimal reader: one blocking request, lines split and parsed as JSON, nothing kept.
qint64 minimalRead(quint16 port, QByteArray request, qint64 *lines)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return -1;
    ::write(fd, request.constData(), size_t(request.size()));
    QByteArray buffer;
    buffer.reserve(1 << 20);
    char chunk[65536];
    bool inBody = false;
    qint64 bodyLeft = 0;
    qint64 total = 0;
    qsizetype start = 0;
    while (!inBody || bodyLeft > 0) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        buffer.append(chunk, n);
        if (!inBody) {
            const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
            if (headEnd < 0)
                continue;
            const qsizetype lengthAt = buffer.indexOf("Content-Length: ");
            bodyLeft = buffer.mid(lengthAt + 16, buffer.indexOf('\r', lengthAt) - lengthAt - 16).toLongLong();
            start = headEnd + 4;
            bodyLeft -= buffer.size() - start;
            inBody = true;
        } else {
            bodyLeft -= n;
        }
        for (qsizetype lf; (lf = buffer.indexOf('\n', start)) >= 0; start = lf + 1) {
            const QJsonDocument line = QJsonDocument::fromJson(QByteArray::fromRawData(buffer.constData() + start, lf - start));
            total += line.object().size();
            ++*lines;
        }
        buffer.remove(0, start);
        start = 0;
    }
    ::close(fd);
    return total;
}

/// Writes a line carrying its send time every few milliseconds, as a chunked NDJSON reply.
class DripServer : public QTcpServer
{
public:
    int lines = 400;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            if (!socket->readAll().contains("\r\n\r\n") || socket->property("started").toBool())
                return;
            socket->setProperty("started", true);
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\nTransfer-Encoding: chunked\r\n\r\n");
            auto *timer = new QTimer(socket);
            auto sent = std::make_shared<int>(0);
            connect(timer, &QTimer::timeout, socket, [=, this] {
                const bool last = ++*sent >= lines;
                const QByteArray line = QByteArrayLiteral("{\"message\":{\"content\":\"") + QByteArray::number(nowNs())
                    + "\"},\"done\":" + (last ? "true" : "false") + "}\n";
                socket->write(QByteArray::number(line.size(), 16) + "\r\n" + line + "\r\n");
                socket->flush();
                if (last) {
                    socket->write("0\r\n\r\n");
                    timer->stop();
                }
            });
            timer->start(5);
        });
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    // The stream of 200,000 pieces, as the engine would write it.
    QStringList pieces;
    pieces.reserve(pieceCount);
    for (int i = 0; i < pieceCount; ++i)
        pieces.append(QStringLiteral(" w%1").arg(i % 1000));
    // Small lines, the engine's keys without its timestamps: the per-line cost is what counts.
    QByteArray body;
    for (const QString &piece : pieces)
        body += R"({"message":{"role":"assistant","content":")" + piece.toUtf8() + R"("},"done":false})" "\n";
    body += R"({"message":{"role":"assistant","content":""},"done":true})" "\n";

    QThread engineThread;
    auto *engine = new TestEngine;
    engine->setInstalledModels({model});
    TestEngine::Reply reply;
    reply.framing = TestEngine::Framing::ContentLength;
    reply.writes = TestEngine::cutEvery(body, 64 * 1024);
    engine->script("/api/chat", reply);
    onOwnThread(engine, engineThread);
    quint16 port = 0;
    QMetaObject::invokeMethod(engine, [&] { engine->listen(); port = engine->port(); }, Qt::BlockingQueuedConnection);
    qputenv("OLLAMA_HOST", QByteArray("127.0.0.1:") + QByteArray::number(port));

    // Minimal reader first (warms the server), then the client, then the reader again.
    const QByteArray request = "POST /api/chat HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(OllamaClient::chatBody(model, {}, std::nullopt).size()) + "\r\n\r\n"
        + OllamaClient::chatBody(model, {}, std::nullopt);
    auto timeMinimal = [&] {
        qint64 lines = 0;
        QElapsedTimer clock;
        clock.start();
        minimalRead(port, request, &lines);
        return std::pair(clock.nsecsElapsed(), lines);
    };
    timeMinimal();

    QList<double> memory;
    qint64 received = 0;
    const double before = residentMb();
    // Five runs each, alternating; the best of each counts (the least disturbed by the machine).
    qint64 clientNs = std::numeric_limits<qint64>::max();
    qint64 minimalNs = std::numeric_limits<qint64>::max();
    qint64 minimalLines = 0;
    for (int run = 0; run < 5; ++run) {
    memory.clear();
    received = 0;
    QElapsedTimer clock;
    clock.start();
    {
        auto stream = OllamaClient::streamChat(model, {}, std::nullopt);
        QObject::connect(stream.get(), &TextStream::piece, [&](const QString &piece) {
            Q_UNUSED(piece)
            if (++received % (pieceCount / 10) == 0)
                memory.append(residentMb());
        });
        QEventLoop loop;
        QObject::connect(stream.get(), &OllamaStream::finished, &loop, &QEventLoop::quit);
        QObject::connect(stream.get(), &OllamaStream::failed, &loop, [&](const OllamaError &e) {
            out << "client failed: " << e.errorDescription() << '\n';
            loop.quit();
        });
        loop.exec();
    }
    clientNs = std::min(clientNs, clock.nsecsElapsed());
    const auto [ns, lines] = timeMinimal();
    minimalNs = std::min(minimalNs, ns);
    minimalLines = lines;
    }

    const double seconds = double(clientNs) / 1e9;
    out << "Stream of " << received << " pieces, " << QString::number(double(body.size()) / 1e6, 'f', 1) << " MB of NDJSON\n";
    out << "  client (streamChat):  " << QString::number(double(received) / seconds, 'f', 0) << " pieces/s, "
        << QString::number(double(body.size()) / seconds / 1e6, 'f', 1) << " MB/s, " << QString::number(seconds * 1e3, 'f', 0) << " ms\n";
    const double minimalSeconds = double(minimalNs) / 1e9;
    out << "  minimal reader:       " << QString::number(double(minimalLines) / minimalSeconds, 'f', 0) << " lines/s, "
        << QString::number(double(body.size()) / minimalSeconds / 1e6, 'f', 1) << " MB/s, "
        << QString::number(minimalSeconds * 1e3, 'f', 0) << " ms\n";
    out << "  client / minimal:     " << QString::number(seconds / minimalSeconds, 'f', 2) << "x (target at most 1.3x)\n";
    out << "  resident memory, MB:  " << QString::number(before, 'f', 1) << " before;";
    for (double mb : memory)
        out << ' ' << QString::number(mb, 'f', 1);
    out << " at each 10 % (flat: the client keeps no more than the line in hand)\n";

    // Latency, server write to consumer slot.
    QThread dripThread;
    auto *drip = onOwnThread(new DripServer, dripThread);
    quint16 dripPort = 0;
    QMetaObject::invokeMethod(drip, [&] { drip->listen(QHostAddress::LocalHost); dripPort = drip->serverPort(); }, Qt::BlockingQueuedConnection);
    QList<double> latencies;
    {
        // The client's base address is fixed for the process (the test engine's), so the drip
        // server's reply is read by the client's own TextStream over a request made here.
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/api/chat").arg(dripPort));
        TextStream stream(new HttpExchange("POST", url, QByteArray("{}"), std::chrono::seconds(30)), TextStream::Kind::chat);
        QObject::connect(&stream, &TextStream::piece, [&](const QString &piece) {
            latencies.append(double(nowNs() - piece.toLongLong()) / 1e6);
        });
        QEventLoop loop;
        QObject::connect(&stream, &OllamaStream::finished, &loop, &QEventLoop::quit);
        QObject::connect(&stream, &OllamaStream::failed, &loop, &QEventLoop::quit);
        loop.exec();
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.isEmpty()) {
        out << "Latency, server write to consumer, " << latencies.size() << " lines: median "
            << QString::number(latencies.at(latencies.size() / 2), 'f', 3) << " ms, 99th "
            << QString::number(latencies.at(latencies.size() * 99 / 100), 'f', 3) << " ms (target under 2 ms)\n";
    }

    engineThread.quit();
    dripThread.quit();
    engineThread.wait();
    dripThread.wait();
    return 0;
}
