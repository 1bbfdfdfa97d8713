#include "TestEngine.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include <sys/socket.h>

using namespace std::chrono_literals;

namespace {

QString normalized(const QString &name)
{
    const qsizetype slash = name.lastIndexOf(u'/');
    return name.indexOf(u':', slash + 1) >= 0 ? name : name + QStringLiteral(":latest");
}

// One line of a streamed chat or generate reply; the last one carries its done reason.
QByteArray replyLine(const QString &model, bool generate, const QString &text, const char *doneReason = nullptr)
{
    QJsonObject object{{"model", model},
                       {"created_at", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                       {"done", doneReason != nullptr}};
    if (generate)
        object.insert("response", text);
    else
        object.insert("message", QJsonObject{{"role", "assistant"}, {"content", text}});
    if (doneReason)
        object.insert("done_reason", doneReason);
    return TestEngine::line(object);
}

QList<QByteArray> replyLines(const QString &model, bool generate, const QStringList &pieces, bool withFinal = true)
{
    QList<QByteArray> lines;
    for (const QString &piece : pieces)
        lines.append(replyLine(model, generate, piece));
    if (withFinal)
        lines.append(replyLine(model, generate, QString(), "stop"));
    return lines;
}

} // namespace

// One client connection: reads one request, plays its reply, closes.
class TestEngine::Connection : public QObject
{
public:
    Connection(TestEngine *engine, QTcpSocket *socket) : QObject(engine), m_engine(engine), m_socket(socket)
    {
        engine->m_connections.append(this);
        m_socket->setParent(this);
        // Every write leaves as its own segment, as the engine's flushed lines do.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] { m_headSent ? pump() : begin(); });
        connect(m_socket, &QTcpSocket::readyRead, this, &Connection::read);
        connect(m_socket, &QTcpSocket::bytesWritten, this, &Connection::pump);
        connect(m_socket, &QTcpSocket::disconnected, this, &Connection::lost);
        connect(m_socket, &QTcpSocket::errorOccurred, this, &Connection::lost);
        if (m_socket->bytesAvailable() > 0)
            read();
    }

    // The engine is going away: close without calling back into it.
    void shutDown()
    {
        m_dead = true;
        m_timer.stop();
        m_socket->disconnect(this);
        m_socket->abort();
    }

private:
    void read()
    {
        if (m_dead || m_answered)
            return;
        m_in += m_socket->readAll();
        const qsizetype headEnd = m_in.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        Request request;
        const QList<QByteArray> lines = m_in.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        for (const QByteArray &line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const qsizetype length = request.headers.value("content-length").toLongLong();
        if (m_in.size() < headEnd + 4 + length)
            return;
        request.body = m_in.mid(headEnd + 4, length);
        m_answered = true;
        m_reply = m_engine->answer(request); // runs the test's slots
        if (!m_reply.silent)
            m_timer.start(m_reply.delay); // then begin()
    }

    void begin()
    {
        if (m_reply.notHttp) {
            write("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n");
            return close();
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_reply.status) + (m_reply.status == 200 ? " OK" : " Error") +
                          "\r\nContent-Type: " + m_reply.contentType + "\r\nConnection: close\r\n";
        if (m_reply.framing == Framing::Chunked) {
            head += "Transfer-Encoding: chunked\r\n";
        } else if (m_reply.framing == Framing::ContentLength) {
            // Cut short promises one byte more than comes, so the body really is incomplete.
            qint64 length = m_reply.end == Reply::End::CloseMidBody ? 1 : 0;
            for (const QByteArray &piece : m_reply.writes)
                length += piece.size();
            head += "Content-Length: " + QByteArray::number(length) + "\r\n";
        }
        for (const auto &[name, value] : m_reply.headers)
            head += name + ": " + value + "\r\n";
        write(head + "\r\n");
        m_headSent = true;
        pump();
    }

    // One write per timer tick with an interval, otherwise as fast as the socket drains.
    void pump()
    {
        if (m_dead || m_pumping || !m_headSent || m_done || m_timer.isActive())
            return;
        m_pumping = true; // a flush emits bytesWritten, which calls back here
        while (!m_dead && m_next < m_reply.writes.size()) {
            // Unsent data past this waits for bytesWritten, so a long benchmark stream never
            // piles up in memory.
            if (m_socket->bytesToWrite() > 256 * 1024)
                break;
            const QByteArray &piece = m_reply.writes.at(m_next++);
            if (m_reply.framing != Framing::Chunked)
                write(piece);
            else if (!piece.isEmpty()) // an empty chunk would end the body
                write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
            if (m_reply.interval > 0ms && m_next < m_reply.writes.size()) {
                m_timer.start(m_reply.interval);
                break;
            }
        }
        m_pumping = false;
        if (m_dead || m_next < m_reply.writes.size())
            return;
        m_done = true;
        if (m_reply.end == Reply::End::Never)
            return;
        if (m_reply.end == Reply::End::Normally && m_reply.framing == Framing::Chunked)
            write("0\r\n\r\n");
        close();
    }

    void write(const QByteArray &bytes)
    {
        if (m_dead || m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        const qsizetype room = m_reply.resetAfter < 0 ? bytes.size() : m_reply.resetAfter - m_sent;
        m_sent += qMax<qint64>(0, m_socket->write(bytes.first(qMin(room, bytes.size()))));
        m_socket->flush(); // may find the peer gone and call lost() right here
        if (m_reply.resetAfter >= 0 && m_sent >= m_reply.resetAfter && !m_dead) {
            // Linger zero: closing sends a reset instead of a FIN, as a crashed engine's kernel does.
            const linger hard{1, 0};
            ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            m_socket->abort();
            lost();
        }
    }

    // Closes once everything written has gone out.
    void close()
    {
        m_timer.stop();
        if (!m_dead)
            m_socket->disconnectFromHost();
    }

    void lost()
    {
        if (m_dead)
            return;
        m_dead = true;
        m_timer.stop();
        m_engine->m_connections.removeOne(this);
        emit m_engine->connectionClosed();
        deleteLater();
    }

    TestEngine *m_engine;
    QTcpSocket *m_socket;
    QTimer m_timer; // the reply's delay, then the interval between writes
    QByteArray m_in;
    Reply m_reply;
    qsizetype m_next = 0; // the next write of the reply
    qsizetype m_sent = 0; // bytes of the reply written so far
    bool m_answered = false;
    bool m_headSent = false;
    bool m_pumping = false;
    bool m_done = false;
    bool m_dead = false;
};

TestEngine::TestEngine(QObject *parent)
    : QObject(parent),
      m_server(new QTcpServer(this)),
      m_installed{QStringLiteral("llama3.2:3b"), QStringLiteral("moondream:latest")},
      m_chatReply(words(QStringLiteral("Hello! How can I help you today?"))),
      m_unpullable{QStringLiteral("does-not-exist")}
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection())
            new Connection(this, socket);
    });
}

TestEngine::~TestEngine()
{
    m_server->close();
    for (Connection *connection : std::exchange(m_connections, {})) {
        connection->shutDown();
        delete connection;
    }
}

bool TestEngine::isInstalled(const QString &name) const
{
    return std::any_of(m_installed.cbegin(), m_installed.cend(),
                       [&](const QString &installed) { return normalized(installed) == normalized(name); });
}

QList<TestEngine::Request> TestEngine::requests(const QByteArray &path) const
{
    QList<Request> matching = m_requests;
    matching.removeIf([&](const Request &request) { return request.path.split('?').first() != path; });
    return matching;
}

TestEngine::Reply TestEngine::answer(const Request &request)
{
    m_requests.append(request);
    emit requestReceived(request);
    const QByteArray path = request.path.split('?').first();
    if (auto once = m_onceScripts.find(path); once != m_onceScripts.end() && !once->isEmpty())
        return once->takeFirst();
    if (auto scripted = m_scripts.constFind(path); scripted != m_scripts.cend())
        return *scripted;

    const QJsonObject json = request.json();
    const QString model = json.value("model").toString();
    if (path == "/api/tags") {
        QJsonArray models;
        for (const QString &name : m_installed)
            models.append(QJsonObject{{"name", name}, {"model", name}, {"size", 2019377376}});
        return Reply::json(200, {{"models", models}});
    }
    const bool generate = path == "/api/generate";
    if (generate || path == "/api/chat") {
        if (!isInstalled(model))
            return Reply::json(404, {{"error", QStringLiteral("model \"%1\" not found, try pulling it first").arg(model)}});
        // Only the warm-up asks for one object: it loads the model and says so.
        if (!json.value("stream").toBool(true))
            return Reply::json(200, QJsonDocument::fromJson(replyLine(model, generate, {}, "load")).object());
        return Reply::stream(replyLines(model, generate, m_chatReply), m_streamInterval);
    }
    if (path == "/api/pull") {
        const auto refused = [&](const QString &fragment) { return model.contains(fragment); };
        // The engine reports a refused name inside a 200 stream, after the first status.
        if (std::any_of(m_unpullable.cbegin(), m_unpullable.cend(), refused))
            return Reply::stream({line({{"status", "pulling manifest"}}), line({{"error", "pull model manifest: file does not exist"}})},
                                 m_streamInterval);
        if (!isInstalled(model))
            m_installed.append(normalized(model)); // as the download starts: nothing looks in between
        return Reply::stream(pullLines(model), m_streamInterval);
    }
    return {.status = 404, .contentType = "text/plain; charset=utf-8", .framing = Framing::ContentLength, .writes = {"404 page not found"}};
}

QByteArray TestEngine::line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QList<QByteArray> TestEngine::cutEvery(const QByteArray &bytes, int n)
{
    QList<QByteArray> pieces;
    for (qsizetype at = 0; at < bytes.size(); at += std::max(n, 1))
        pieces.append(bytes.mid(at, std::max(n, 1)));
    return pieces;
}

QStringList TestEngine::words(const QString &text)
{
    QStringList pieces;
    QString current;
    for (const QChar c : text) {
        // A space starts the next piece, as a model's tokens carry their leading space.
        if (c == u' ' && !current.trimmed().isEmpty())
            pieces.append(std::exchange(current, {}));
        current += c;
    }
    if (!current.isEmpty())
        pieces.append(current);
    return pieces;
}

QList<QByteArray> TestEngine::chatLines(const QString &model, const QStringList &pieces, bool withFinal)
{
    return replyLines(model, false, pieces, withFinal);
}

QList<QByteArray> TestEngine::pullLines(const QString &model)
{
    QList<QByteArray> lines{line({{"status", "pulling manifest"}})};
    const QList<qint64> layers{828671759, 909777984, 1061};
    for (int layer = 0; layer < layers.size(); ++layer) {
        const QString digest = QString::fromLatin1(
            QCryptographicHash::hash(model.toUtf8() + char('0' + layer), QCryptographicHash::Sha256).toHex());
        const QJsonObject step{{"status", "pulling " + digest.left(12)}, {"digest", "sha256:" + digest}, {"total", layers[layer]}};
        lines.append(line(step)); // the first report of a layer knows only its size
        const int steps = layer == 0 ? 8 : 1;
        for (int i = 1; i <= steps; ++i) {
            QJsonObject done = step;
            done.insert("completed", layers[layer] * i / steps);
            lines.append(line(done));
        }
    }
    for (const char *status : {"verifying sha256 digest", "writing manifest", "success"})
        lines.append(line({{"status", status}}));
    return lines;
}
