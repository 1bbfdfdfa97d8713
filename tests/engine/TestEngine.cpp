#include "TestEngine.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

// Past this much unsent data a fast stream waits for the socket to drain, so a long benchmark
// stream never piles up in memory.
constexpr qint64 highWater = 256 * 1024;
// A fast stream goes to the socket in flushes of about this size.
constexpr qint64 flushBatch = 32 * 1024;
// A head that has not ended by now is not coming from an HTTP client.
constexpr qsizetype maxHeadSize = 64 * 1024;

// What a port that is not an HTTP server typically says first.
const QByteArray notHttpGreeting = "SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u3\r\n";

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QByteArray httpDate()
{
    return QLocale::c()
        .toString(QDateTime::currentDateTimeUtc(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}

// RFC 3339 with nanoseconds, as the engine stamps its lines.
QString createdAt()
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const qint64 ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    const QDateTime utc = QDateTime::fromMSecsSinceEpoch(ns / 1000000, Qt::UTC);
    return utc.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.")) +
           QStringLiteral("%1Z").arg(ns % 1000000000, 9, 10, QLatin1Char('0'));
}

QByteArray hexDigest(const QByteArray &seed)
{
    return QCryptographicHash::hash(seed, QCryptographicHash::Sha256).toHex();
}

QByteArray jsonValue(const QJsonValue &value)
{
    // QJsonDocument only writes arrays and objects: wrap, then drop the brackets.
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// QJsonObject sorts its keys; the engine writes them in its own order, so lines are built in
// that order by hand to look like the real thing on the wire.
class Ordered
{
public:
    Ordered &add(const char *key, const QJsonValue &value)
    {
        m_out += m_out.isEmpty() ? "{\"" : ",\"";
        m_out += key;
        m_out += "\":";
        m_out += jsonValue(value);
        return *this;
    }
    Ordered &addRaw(const char *key, const QByteArray &json)
    {
        m_out += m_out.isEmpty() ? "{\"" : ",\"";
        m_out += key;
        m_out += "\":";
        m_out += json;
        return *this;
    }
    QByteArray object() const { return m_out.isEmpty() ? QByteArray("{}") : m_out + '}'; }
    QByteArray line() const { return object() + '\n'; }

private:
    QByteArray m_out;
};

struct ModelFacts
{
    QString family;
    QStringList families;
    QString parameterSize;
    QString quantization;
    QList<qint64> layers; // sizes; the first is the weights
};

ModelFacts factsFor(const QString &name)
{
    const QString model = TestEngine::normalized(name);
    if (model.startsWith(QLatin1String("llama3.2:3b")))
        return {QStringLiteral("llama"), {QStringLiteral("llama")}, QStringLiteral("3.2B"),
                QStringLiteral("Q4_K_M"), {2019377376, 1429, 7711, 6016, 96, 561}};
    if (model.startsWith(QLatin1String("moondream")))
        return {QStringLiteral("phi2"), {QStringLiteral("phi2"), QStringLiteral("clip")},
                QStringLiteral("1B"), QStringLiteral("Q4_0"), {828671759, 909777984, 1061, 299, 94}};
    // Anything else: a plausible mid-sized model, the same for the same name.
    const quint32 seed = hexDigest(model.toUtf8()).left(8).toUInt(nullptr, 16);
    return {QStringLiteral("llama"), {QStringLiteral("llama")}, QStringLiteral("7B"),
            QStringLiteral("Q4_K_M"), {1500000000 + qint64(seed % 500000000), 1429, 7711, 485}};
}

QByteArray layerDigest(const QString &model, int layer)
{
    return hexDigest(TestEngine::normalized(model).toUtf8() + '/' + QByteArray::number(layer));
}

QByteArray pathOnly(const QByteArray &target)
{
    const qsizetype query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

QJsonObject errorObject(const QString &message)
{
    return QJsonObject{{QStringLiteral("error"), message}};
}

TestEngine::Reply plainText(int status, const QByteArray &text)
{
    TestEngine::Reply reply;
    reply.status = status;
    reply.contentType = "text/plain; charset=utf-8";
    reply.framing = TestEngine::Framing::ContentLength;
    reply.writes = {text};
    return reply;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Request and Reply

QJsonObject TestEngine::Request::json() const
{
    return QJsonDocument::fromJson(body).object();
}

QByteArray TestEngine::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

TestEngine::Reply TestEngine::Reply::json(int status, const QJsonObject &body)
{
    Reply reply;
    reply.status = status;
    reply.contentType = "application/json; charset=utf-8";
    reply.framing = Framing::ContentLength;
    reply.writes = {QJsonDocument(body).toJson(QJsonDocument::Compact)};
    return reply;
}

TestEngine::Reply TestEngine::Reply::stream(const QList<QByteArray> &lines, std::chrono::milliseconds interval)
{
    Reply reply;
    reply.writes = lines;
    reply.interval = interval;
    return reply;
}

// ---------------------------------------------------------------------------------------------
// One client connection: reads requests one after another and plays their replies. Later
// requests on the same connection wait in the input buffer until the current reply is done.

class TestEngine::Connection : public QObject
{
public:
    Connection(TestEngine *engine, QTcpSocket *socket)
        : QObject(engine), m_engine(engine), m_socket(socket)
    {
        m_socket->setParent(this);
        // Every write should leave as its own segment, as the engine's flushed lines do.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] { m_headSent ? pump() : begin(); });
        connect(m_socket, &QTcpSocket::readyRead, this, &Connection::readInput);
        connect(m_socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
        connect(m_socket, &QTcpSocket::disconnected, this, &Connection::lost);
        connect(m_socket, &QTcpSocket::errorOccurred, this, &Connection::lost);
    }

    /// The engine is going away: close without calling back into it.
    void shutDown()
    {
        m_dead = true;
        m_timer.stop();
        QObject::disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
    }

    void readInput()
    {
        if (m_dead || m_closing)
            return;
        m_in += m_socket->readAll();
        processInput();
    }

private:
    enum class Parse { NeedMore, Done, Bad };

    void processInput()
    {
        if (m_processing)
            return; // the loop below picks up whatever arrived meanwhile
        m_processing = true;
        QPointer<Connection> self(this);
        while (!m_dead && !m_busy && !m_closing && !m_in.isEmpty()) {
            Request request;
            bool headComplete = false;
            const Parse result = parse(request, headComplete);
            if (result == Parse::NeedMore) {
                // curl waits for this before sending a large body.
                if (headComplete && !m_continueSent &&
                    request.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0) {
                    m_continueSent = true;
                    write("HTTP/1.1 100 Continue\r\n\r\n");
                }
                break;
            }
            if (result == Parse::Bad) {
                write("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
                      "Connection: close\r\n\r\n400 Bad Request");
                close();
                break;
            }
            m_continueSent = false;
            m_closeAfter = request.version == "HTTP/1.0" ||
                           request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
            Outgoing outgoing = m_engine->received(request); // runs the test's slots
            if (!self || m_dead)
                return;
            start(std::move(outgoing));
        }
        if (self)
            m_processing = false;
    }

    // Reads one request from the front of the input; removes it when complete.
    Parse parse(Request &request, bool &headComplete)
    {
        const qsizetype headEnd = m_in.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return m_in.size() > maxHeadSize ? Parse::Bad : Parse::NeedMore;

        const QList<QByteArray> lines = m_in.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1."))
            return Parse::Bad;
        request.method = requestLine[0];
        request.path = requestLine[1];
        request.version = requestLine[2];
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray &line = lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0 || line.startsWith(' ') || line.startsWith('\t'))
                return Parse::Bad;
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        headComplete = true;

        qsizetype pos = headEnd + 4;
        if (request.header("Transfer-Encoding").toLower().contains("chunked")) {
            for (;;) {
                const qsizetype sizeEnd = m_in.indexOf("\r\n", pos);
                if (sizeEnd < 0)
                    return m_in.size() - pos > 1024 ? Parse::Bad : Parse::NeedMore;
                QByteArray sizeField = m_in.mid(pos, sizeEnd - pos);
                if (const qsizetype extension = sizeField.indexOf(';'); extension >= 0)
                    sizeField.truncate(extension);
                bool ok = false;
                const qint64 size = sizeField.trimmed().toLongLong(&ok, 16);
                if (!ok || size < 0)
                    return Parse::Bad;
                pos = sizeEnd + 2;
                if (size == 0) {
                    // Trailers, up to an empty line.
                    for (;;) {
                        const qsizetype lineEnd = m_in.indexOf("\r\n", pos);
                        if (lineEnd < 0)
                            return Parse::NeedMore;
                        const bool last = lineEnd == pos;
                        pos = lineEnd + 2;
                        if (last)
                            break;
                    }
                    break;
                }
                if (m_in.size() < pos + size + 2)
                    return Parse::NeedMore;
                if (m_in.mid(pos + size, 2) != "\r\n")
                    return Parse::Bad;
                request.body += m_in.mid(pos, size);
                pos += size + 2;
            }
        } else if (const QByteArray length = request.header("Content-Length"); !length.isEmpty()) {
            bool ok = false;
            const qint64 size = length.toLongLong(&ok);
            if (!ok || size < 0)
                return Parse::Bad;
            if (m_in.size() < pos + size)
                return Parse::NeedMore;
            request.body = m_in.mid(pos, size);
            pos += size;
        }
        m_in.remove(0, pos);
        return Parse::Done;
    }

    void start(Outgoing outgoing)
    {
        m_out = std::move(outgoing);
        m_busy = true;
        m_headSent = false;
        m_done = false;
        m_next = 0;
        if (m_out.reply.silent)
            return; // stays busy: nothing more is read or sent on this connection
        if (m_out.reply.delay > 0ms)
            m_timer.start(m_out.reply.delay);
        else
            begin();
    }

    void begin()
    {
        const Reply &reply = m_out.reply;
        if (reply.notHttp) {
            m_headSent = true;
            m_done = true;
            write(reply.writes.isEmpty() ? notHttpGreeting : joined(reply.writes));
            close();
            return;
        }

        QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' +
                          reasonPhrase(reply.status) + "\r\n";
        if (!reply.contentType.isEmpty())
            head += "Content-Type: " + reply.contentType + "\r\n";
        head += "Date: " + httpDate() + "\r\n";
        switch (reply.framing) {
        case Framing::Chunked:
            head += "Transfer-Encoding: chunked\r\n";
            break;
        case Framing::ContentLength: {
            qint64 length = reply.contentLength;
            if (length < 0) {
                length = 0;
                for (const QByteArray &piece : reply.writes)
                    length += piece.size();
                if (reply.end == Reply::End::CloseMidBody)
                    ++length; // promise more than is sent, so the body really is cut short
            }
            head += "Content-Length: " + QByteArray::number(length) + "\r\n";
            break;
        }
        case Framing::CloseDelimited:
            break;
        }
        if (m_closeAfter || reply.framing == Framing::CloseDelimited)
            head += "Connection: close\r\n";
        for (const auto &[name, value] : reply.headers)
            head += name + ": " + value + "\r\n";
        head += "\r\n";

        m_headSent = true;
        write(head);
        pump();
    }

    // Sends the writes in order: one per timer tick with an interval, otherwise as fast as the
    // socket takes them. Without an interval the pieces would reach the client together anyway,
    // so they are flushed in batches; a flush per piece would make the server, not the client,
    // the cost of a long benchmark stream.
    void pump()
    {
        if (m_dead || !m_busy || !m_headSent || m_done || m_pumping || m_timer.isActive())
            return;
        const Reply &reply = m_out.reply;
        const qsizetype count = m_out.headOnly ? 0 : reply.writes.size();
        const bool drip = reply.interval > 0ms;
        m_pumping = true;
        while (!m_dead && m_next < count) {
            if (m_socket->bytesToWrite() > highWater) {
                m_socket->flush();
                // Still full: bytesWritten calls back here as the socket drains.
                if (m_dead || m_socket->bytesToWrite() > highWater)
                    break;
            }
            sendPiece(reply.writes.at(m_next++), drip || m_socket->bytesToWrite() >= flushBatch);
            if (drip && m_next < count) {
                if (!m_dead)
                    m_timer.start(reply.interval);
                break;
            }
        }
        if (!m_dead && m_next >= count)
            m_socket->flush();
        m_pumping = false;
        if (!m_dead && m_next >= count)
            finish();
    }

    void sendPiece(const QByteArray &piece, bool flush)
    {
        if (m_out.reply.framing != Framing::Chunked) {
            write(piece, flush);
        } else if (!piece.isEmpty()) { // an empty chunk would end the body
            write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n", flush);
        }
    }

    void finish()
    {
        m_done = true;
        const Reply &reply = m_out.reply;
        switch (reply.end) {
        case Reply::End::Never:
            return;
        case Reply::End::CloseMidBody:
            close();
            return;
        case Reply::End::Normally:
            break;
        }
        if (reply.framing == Framing::Chunked && !m_out.headOnly)
            write("0\r\n\r\n");
        if (m_dead)
            return;
        // Taken out first: the callback may script or start things on the engine.
        const std::function<void()> onComplete = std::exchange(m_out.onComplete, {});
        if (onComplete)
            onComplete();
        if (m_closeAfter || reply.framing == Framing::CloseDelimited) {
            close();
            return;
        }
        m_busy = false;
        processInput();
    }

    void write(const QByteArray &bytes, bool flush = true)
    {
        if (m_dead || m_closing || m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        m_socket->write(bytes);
        if (flush)
            m_socket->flush(); // may find the peer gone and call lost() right here
    }

    // Closes once everything written has gone out.
    void close()
    {
        if (m_dead || m_closing)
            return;
        m_closing = true;
        m_timer.stop();
        m_socket->disconnectFromHost();
    }

    void lost()
    {
        if (m_dead)
            return;
        m_dead = true;
        m_timer.stop();
        m_engine->closed(this);
        deleteLater();
    }

    TestEngine *m_engine;
    QTcpSocket *m_socket;
    QTimer m_timer; // the reply's delay, then the interval between writes
    QByteArray m_in;
    Outgoing m_out;
    qsizetype m_next = 0;   // the next write of m_out
    bool m_busy = false;    // a reply is being played
    bool m_headSent = false;
    bool m_done = false;    // all writes of the reply are out
    bool m_processing = false;
    bool m_pumping = false;
    bool m_closing = false;
    bool m_dead = false;
    bool m_closeAfter = false;
    bool m_continueSent = false;
};

// ---------------------------------------------------------------------------------------------
// Engine

TestEngine::TestEngine(QObject *parent)
    : QObject(parent),
      m_server(new QTcpServer(this)),
      m_installed{QStringLiteral("llama3.2:3b"), QStringLiteral("moondream:latest")},
      m_chatReply(words(QStringLiteral("Hello! How can I help you today?"))),
      m_unpullable{QStringLiteral("does-not-exist")}
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            ++m_connectionsAccepted;
            auto *connection = new Connection(this, socket);
            m_connections.append(connection);
            // Bytes may have come with the connection itself.
            if (socket->bytesAvailable() > 0)
                connection->readInput();
        }
    });
}

TestEngine::~TestEngine()
{
    m_server->close();
    const QList<Connection *> connections = std::exchange(m_connections, {});
    for (Connection *connection : connections) {
        connection->shutDown();
        delete connection;
    }
}

bool TestEngine::listen(quint16 port)
{
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 TestEngine::port() const
{
    return m_server->serverPort();
}

QByteArray TestEngine::ollamaHost() const
{
    return "127.0.0.1:" + QByteArray::number(port());
}

void TestEngine::setInstalledModels(const QStringList &names)
{
    m_installed = names;
}

QStringList TestEngine::installedModels() const
{
    return m_installed;
}

bool TestEngine::isInstalled(const QString &name) const
{
    const QString wanted = normalized(name);
    return std::any_of(m_installed.cbegin(), m_installed.cend(),
                       [&](const QString &installed) { return normalized(installed) == wanted; });
}

void TestEngine::setChatReply(const QStringList &pieces)
{
    m_chatReply = pieces;
}

void TestEngine::setUnpullable(const QStringList &nameFragments)
{
    m_unpullable = nameFragments;
}

void TestEngine::setStreamInterval(std::chrono::milliseconds interval)
{
    m_streamInterval = interval;
}

void TestEngine::script(const QByteArray &path, const Reply &reply)
{
    m_scripts.insert(path, reply);
}

void TestEngine::scriptOnce(const QByteArray &path, const Reply &reply)
{
    m_onceScripts[path].append(reply);
}

void TestEngine::clearScripts()
{
    m_scripts.clear();
    m_onceScripts.clear();
}

QList<TestEngine::Request> TestEngine::requests(const QByteArray &path) const
{
    QList<Request> matching;
    for (const Request &request : m_requests) {
        if (pathOnly(request.path) == path)
            matching.append(request);
    }
    return matching;
}

int TestEngine::openConnections() const
{
    return int(m_connections.size());
}

TestEngine::Outgoing TestEngine::received(const Request &request)
{
    m_requests.append(request);
    emit requestReceived(request);
    Outgoing outgoing = answer(request);
    outgoing.headOnly = request.method == "HEAD";
    return outgoing;
}

void TestEngine::closed(Connection *connection)
{
    m_connections.removeOne(connection);
    emit connectionClosed();
}

TestEngine::Outgoing TestEngine::answer(const Request &request)
{
    const QByteArray path = pathOnly(request.path);
    if (auto once = m_onceScripts.find(path); once != m_onceScripts.end() && !once->isEmpty()) {
        Outgoing outgoing{once->takeFirst(), {}, false};
        if (once->isEmpty())
            m_onceScripts.erase(once);
        return outgoing;
    }
    if (auto scripted = m_scripts.constFind(path); scripted != m_scripts.cend())
        return {*scripted, {}, false};

    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool post = request.method == "POST";
    if (get && path == "/")
        return {plainText(200, "Ollama is running"), {}, false};
    if (get && path == "/api/version")
        return {Reply::json(200, {{QStringLiteral("version"), QStringLiteral("0.12.3")}}), {}, false};
    if (get && path == "/api/tags") {
        QJsonArray models;
        for (const QString &name : m_installed)
            models.append(tagsEntry(name));
        return {Reply::json(200, {{QStringLiteral("models"), models}}), {}, false};
    }
    if (post && path == "/api/chat")
        return answerChat(request, false);
    if (post && path == "/api/generate")
        return answerChat(request, true);
    if (post && path == "/api/pull")
        return answerPull(request);
    return {plainText(404, "404 page not found"), {}, false};
}

TestEngine::Outgoing TestEngine::answerChat(const Request &request, bool generate)
{
    if (request.body.isEmpty())
        return {Reply::json(400, errorObject(QStringLiteral("missing request body"))), {}, false};
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {Reply::json(400, errorObject(error.error != QJsonParseError::NoError
                                                 ? error.errorString()
                                                 : QStringLiteral("invalid request"))),
                {}, false};
    const QJsonObject json = document.object();
    const QString model = json.value(QStringLiteral("model")).toString();
    if (model.isEmpty())
        return {Reply::json(400, errorObject(QStringLiteral("model is required"))), {}, false};
    if (!isInstalled(model))
        return {Reply::json(404, modelNotFound(model)), {}, false};

    // Nothing to answer only loads the model: one object, whatever "stream" says.
    const bool warmUp = generate ? json.value(QStringLiteral("prompt")).toString().isEmpty() &&
                                       json.value(QStringLiteral("images")).toArray().isEmpty()
                                 : json.value(QStringLiteral("messages")).toArray().isEmpty();
    if (warmUp) {
        QByteArray object = generate ? generateFinalLine(model, QStringLiteral("load"))
                                     : chatFinalLine(model, QStringLiteral("load"));
        object.chop(1);
        Reply reply = Reply::json(200, {});
        reply.writes = {object};
        return {reply, {}, false};
    }

    if (json.value(QStringLiteral("stream")).toBool(true)) {
        const QList<QByteArray> lines = generate ? generateLines(model, m_chatReply)
                                                 : chatLines(model, m_chatReply);
        return {Reply::stream(lines, m_streamInterval), {}, false};
    }

    // Not streamed: the final line carrying the whole text.
    QJsonObject whole = QJsonDocument::fromJson(generate ? generateFinalLine(model) : chatFinalLine(model)).object();
    const QString text = m_chatReply.join(QString());
    if (generate) {
        whole.insert(QStringLiteral("response"), text);
    } else {
        whole.insert(QStringLiteral("message"),
                     QJsonObject{{QStringLiteral("role"), QStringLiteral("assistant")},
                                 {QStringLiteral("content"), text}});
    }
    return {Reply::json(200, whole), {}, false};
}

TestEngine::Outgoing TestEngine::answerPull(const Request &request)
{
    const QJsonObject json = request.json();
    QString model = json.value(QStringLiteral("model")).toString();
    if (model.isEmpty())
        model = json.value(QStringLiteral("name")).toString(); // the older field
    if (model.isEmpty())
        return {Reply::json(400, errorObject(QStringLiteral("model is required"))), {}, false};
    const bool stream = json.value(QStringLiteral("stream")).toBool(true);

    const bool unpullable = std::any_of(m_unpullable.cbegin(), m_unpullable.cend(),
                                        [&](const QString &fragment) { return model.contains(fragment); });
    if (unpullable) {
        const QString message = QStringLiteral("pull model manifest: file does not exist");
        if (!stream)
            return {Reply::json(500, errorObject(message)), {}, false};
        // The failure arrives inside a 200 stream, after the first status.
        return {Reply::stream({Ordered().add("status", QStringLiteral("pulling manifest")).line(),
                               line(errorObject(message))},
                              m_streamInterval),
                {}, false};
    }

    auto install = [this, model] {
        if (!isInstalled(model))
            m_installed.append(normalized(model));
    };
    if (!stream)
        return {Reply::json(200, {{QStringLiteral("status"), QStringLiteral("success")}}), install, false};
    return {Reply::stream(pullLines(model), m_streamInterval), install, false};
}

// ---------------------------------------------------------------------------------------------
// Body builders

QByteArray TestEngine::line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QList<QByteArray> TestEngine::cutEvery(const QByteArray &bytes, int n)
{
    QList<QByteArray> pieces;
    if (n <= 0)
        n = 1;
    for (qsizetype at = 0; at < bytes.size(); at += n)
        pieces.append(bytes.mid(at, n));
    return pieces;
}

QList<QByteArray> TestEngine::cutAt(const QByteArray &bytes, QList<int> positions)
{
    std::sort(positions.begin(), positions.end());
    QList<QByteArray> pieces;
    qsizetype from = 0;
    for (const int position : positions) {
        const qsizetype to = std::clamp<qsizetype>(position, from, bytes.size());
        if (to > from)
            pieces.append(bytes.mid(from, to - from));
        from = to;
    }
    if (from < bytes.size())
        pieces.append(bytes.mid(from));
    return pieces;
}

QByteArray TestEngine::joined(const QList<QByteArray> &pieces)
{
    QByteArray all;
    for (const QByteArray &piece : pieces)
        all += piece;
    return all;
}

QStringList TestEngine::words(const QString &text)
{
    QStringList pieces;
    QString current;
    for (const QChar c : text) {
        // A space starts the next piece, as a model's tokens carry their leading space.
        if (c == QLatin1Char(' ') && !current.trimmed().isEmpty()) {
            pieces.append(current);
            current.clear();
        }
        current += c;
    }
    if (!current.isEmpty())
        pieces.append(current);
    return pieces;
}

QList<QByteArray> TestEngine::chatLines(const QString &model, const QStringList &pieces, bool withFinal)
{
    QList<QByteArray> lines;
    lines.reserve(pieces.size() + 1);
    for (const QString &piece : pieces) {
        lines.append(Ordered()
                         .add("model", model)
                         .add("created_at", createdAt())
                         .addRaw("message", Ordered()
                                                .add("role", QStringLiteral("assistant"))
                                                .add("content", piece)
                                                .object())
                         .add("done", false)
                         .line());
    }
    if (withFinal)
        lines.append(chatFinalLine(model));
    return lines;
}

QByteArray TestEngine::chatFinalLine(const QString &model, const QString &doneReason)
{
    Ordered last;
    last.add("model", model)
        .add("created_at", createdAt())
        .addRaw("message", Ordered().add("role", QStringLiteral("assistant")).add("content", QString()).object())
        .add("done_reason", doneReason)
        .add("done", true);
    if (doneReason != QLatin1String("load")) {
        last.add("total_duration", 1843274951)
            .add("load_duration", 21467306)
            .add("prompt_eval_count", 31)
            .add("prompt_eval_duration", 108412000)
            .add("eval_count", 12)
            .add("eval_duration", 1712530000);
    }
    return last.line();
}

QList<QByteArray> TestEngine::generateLines(const QString &model, const QStringList &pieces, bool withFinal)
{
    QList<QByteArray> lines;
    lines.reserve(pieces.size() + 1);
    for (const QString &piece : pieces) {
        lines.append(Ordered()
                         .add("model", model)
                         .add("created_at", createdAt())
                         .add("response", piece)
                         .add("done", false)
                         .line());
    }
    if (withFinal)
        lines.append(generateFinalLine(model));
    return lines;
}

QByteArray TestEngine::generateFinalLine(const QString &model, const QString &doneReason)
{
    Ordered last;
    last.add("model", model)
        .add("created_at", createdAt())
        .add("response", QString())
        .add("done", true)
        .add("done_reason", doneReason);
    if (doneReason != QLatin1String("load")) {
        last.add("context", QJsonArray{128006, 882, 128007, 271})
            .add("total_duration", 2102795133)
            .add("load_duration", 19867441)
            .add("prompt_eval_count", 754)
            .add("prompt_eval_duration", 412000000)
            .add("eval_count", 48)
            .add("eval_duration", 1658000000);
    }
    return last.line();
}

QList<QByteArray> TestEngine::pullLines(const QString &model)
{
    const ModelFacts facts = factsFor(model);
    QList<QByteArray> lines;
    lines.append(Ordered().add("status", QStringLiteral("pulling manifest")).line());
    for (int layer = 0; layer < facts.layers.size(); ++layer) {
        const QByteArray digest = layerDigest(model, layer);
        const qint64 total = facts.layers[layer];
        const QString status = QStringLiteral("pulling ") + QString::fromLatin1(digest.left(12));
        const QString digestField = QStringLiteral("sha256:") + QString::fromLatin1(digest);
        // The first report of a layer knows only its size.
        lines.append(Ordered().add("status", status).add("digest", digestField).add("total", total).line());
        const int steps = layer == 0 ? 12 : 1; // the big weights take a while, the rest are tiny
        for (int step = 1; step <= steps; ++step) {
            const qint64 completed = step == steps ? total : total * step / steps - 4711 * step;
            lines.append(Ordered()
                             .add("status", status)
                             .add("digest", digestField)
                             .add("total", total)
                             .add("completed", completed)
                             .line());
        }
    }
    lines.append(Ordered().add("status", QStringLiteral("verifying sha256 digest")).line());
    lines.append(Ordered().add("status", QStringLiteral("writing manifest")).line());
    lines.append(Ordered().add("status", QStringLiteral("success")).line());
    return lines;
}

QJsonObject TestEngine::modelNotFound(const QString &model)
{
    return errorObject(QStringLiteral("model \"%1\" not found, try pulling it first").arg(model));
}

QJsonObject TestEngine::tagsEntry(const QString &name)
{
    const ModelFacts facts = factsFor(name);
    qint64 size = 0;
    for (const qint64 layer : facts.layers)
        size += layer;
    return QJsonObject{
        {QStringLiteral("name"), name},
        {QStringLiteral("model"), name},
        {QStringLiteral("modified_at"), QStringLiteral("2026-11-30T10:00:00Z")},
        {QStringLiteral("size"), size},
        {QStringLiteral("digest"), QString::fromLatin1(hexDigest("manifest/" + normalized(name).toUtf8()))},
        {QStringLiteral("details"),
         QJsonObject{{QStringLiteral("parent_model"), QString()},
                     {QStringLiteral("format"), QStringLiteral("gguf")},
                     {QStringLiteral("family"), facts.family},
                     {QStringLiteral("families"), QJsonArray::fromStringList(facts.families)},
                     {QStringLiteral("parameter_size"), facts.parameterSize},
                     {QStringLiteral("quantization_level"), facts.quantization}}},
    };
}

QString TestEngine::normalized(const QString &name)
{
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    return name.indexOf(QLatin1Char(':'), slash + 1) >= 0 ? name : name + QStringLiteral(":latest");
}
