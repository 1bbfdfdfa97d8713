#pragma once

// A stand-in for the local Ollama engine: a real HTTP/1.1 server on 127.0.0.1 that speaks the
// engine's API (tags, chat, generate, pull) and lets a test script every reply down to how its
// bytes are cut and when they are sent. One request per connection, closed after the reply, as
// the client asks. Runs on the thread that owns it.

#include <QByteArrayList>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTcpServer>

#include <chrono>
#include <utility>

class TestEngine : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray path; // the request target as sent
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;

        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };

    enum class Framing { Chunked, ContentLength, CloseDelimited };

    /// A scripted reply, used instead of the engine's own answer.
    struct Reply
    {
        enum class End {
            Normally,
            CloseMidBody, // close after the writes: no last chunk, or one byte short of Content-Length
            Never,        // keep the connection open and send nothing more
        };

        int status = 200;
        QByteArray contentType = "application/x-ndjson";
        QList<std::pair<QByteArray, QByteArray>> headers{};
        Framing framing = Framing::Chunked;
        QList<QByteArray> writes{};          // body bytes; each its own chunk and flush
        std::chrono::milliseconds delay{0};  // before anything, head included
        std::chrono::milliseconds interval{0}; // between writes
        End end = End::Normally;
        bool notHttp = false; // an SSH greeting instead, then close
        bool silent = false;  // never answer
        qsizetype resetAfter = -1; // reset (RST) the connection once this many bytes, head included, are sent

        static Reply json(int status, const QJsonObject &body)
        {
            return {.status = status, .contentType = "application/json; charset=utf-8", .framing = Framing::ContentLength,
                    .writes = {QJsonDocument(body).toJson(QJsonDocument::Compact)}};
        }
        static Reply stream(const QList<QByteArray> &lines, std::chrono::milliseconds interval = {})
        {
            return {.writes = lines, .interval = interval};
        }
    };

    explicit TestEngine(QObject *parent = nullptr);
    ~TestEngine() override;

    bool listen(quint16 port = 0) { return m_server->listen(QHostAddress::LocalHost, port); } // 0: a free port
    quint16 port() const { return m_server->serverPort(); }
    QByteArray ollamaHost() const { return "127.0.0.1:" + QByteArray::number(port()); } // as OLLAMA_HOST takes it

    void setInstalledModels(const QStringList &names) { m_installed = names; }
    QStringList installedModels() const { return m_installed; }
    bool isInstalled(const QString &name) const; // "moondream" matches "moondream:latest"
    void setChatReply(const QStringList &pieces) { m_chatReply = pieces; } // chat and generate
    void setUnpullable(const QStringList &fragments) { m_unpullable = fragments; }
    void setStreamInterval(std::chrono::milliseconds interval) { m_streamInterval = interval; }

    /// Every following request to @p path (query ignored) gets @p reply, until clearScripts().
    void script(const QByteArray &path, const Reply &reply) { m_scripts.insert(path, reply); }
    /// Only the next request to @p path; queued ones go in order, before any script().
    void scriptOnce(const QByteArray &path, const Reply &reply) { m_onceScripts[path].append(reply); }
    void clearScripts() { m_scripts.clear(); m_onceScripts.clear(); }

    QList<Request> requests() const { return m_requests; }
    QList<Request> requests(const QByteArray &path) const;
    void clearRequests() { m_requests.clear(); }
    int openConnections() const { return int(m_connections.size()); }

    static QByteArray line(const QJsonObject &object); // compact JSON + "\n"
    /// Pieces of @p n bytes, cutting lines and characters anywhere.
    static QList<QByteArray> cutEvery(const QByteArray &bytes, int n);
    static QByteArray joined(const QList<QByteArray> &pieces) { return pieces.join(); }
    /// "Hello there, friend." -> "Hello", " there,", " friend.": pieces the way a model streams.
    static QStringList words(const QString &text);
    /// The lines of a streamed chat reply; without pieces, only the final line.
    static QList<QByteArray> chatLines(const QString &model, const QStringList &pieces, bool withFinal = true);
    /// A successful pull's progress, ending in {"status":"success"}.
    static QList<QByteArray> pullLines(const QString &model);

signals:
    /// Before the reply is chosen, so a connected slot may still script it.
    void requestReceived(const TestEngine::Request &request);
    /// A client connection went away, whichever side closed it.
    void connectionClosed();

private:
    class Connection;

    Reply answer(const Request &request);

    QTcpServer *m_server = nullptr;
    QList<Connection *> m_connections;
    QList<Request> m_requests;
    QStringList m_installed;
    QStringList m_chatReply;
    QStringList m_unpullable;
    std::chrono::milliseconds m_streamInterval{0};
    QHash<QByteArray, Reply> m_scripts;
    QHash<QByteArray, QList<Reply>> m_onceScripts;
};
