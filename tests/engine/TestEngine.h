#pragma once

// A stand-in for the local Ollama engine: a real HTTP/1.1 server on 127.0.0.1 that speaks the
// engine's API (tags, chat, generate, pull) well enough for the client to be tested against the
// wire, and lets a test script every reply down to how its bytes are cut and when they are sent.
// Everything runs on the thread that owns the engine, driven by its event loop.

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>

#include <chrono>
#include <functional>
#include <utility>

class QTcpServer;

class TestEngine : public QObject
{
    Q_OBJECT

public:
    /// One request as it arrived, body already de-chunked.
    struct Request
    {
        QByteArray method;
        QByteArray path;    // the request target as sent
        QByteArray version; // "HTTP/1.1"
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;

        /// The body as a JSON object (empty when it is not one).
        QJsonObject json() const;
        /// The first header of that name (case-insensitive), or an empty array.
        QByteArray header(const QByteArray &name) const;
    };

    enum class Framing {
        Chunked,        // Transfer-Encoding: chunked, one chunk per write
        ContentLength,  // Content-Length: the size of all writes (or Reply::contentLength)
        CloseDelimited, // neither: the body ends when the connection closes
    };

    /// A scripted reply, used instead of the engine's own answer.
    struct Reply
    {
        enum class End {
            Normally,     // finish the body; the connection stays open for the next request
            CloseMidBody, // close after the writes without finishing the body (no last chunk,
                          // or fewer bytes than the declared Content-Length)
            Never,        // keep the connection open and send nothing more
        };

        int status = 200;
        QByteArray contentType = "application/x-ndjson";
        QList<std::pair<QByteArray, QByteArray>> headers; // extra response headers
        Framing framing = Framing::Chunked;
        QList<QByteArray> writes;                 // body bytes, one write (and chunk) each;
                                                  // with an interval each is flushed alone
        std::chrono::milliseconds delay{0};       // wait before sending anything, head included
        std::chrono::milliseconds interval{0};    // wait between writes (a slow drip)
        qint64 contentLength = -1;                // ContentLength: the declared size, -1 = actual
        End end = End::Normally;
        bool notHttp = false; // answer with bytes that are not HTTP (writes, or a stock
                              // greeting when there are none), then close
        bool silent = false;  // accept the request and never answer (for client time-outs)

        /// A complete JSON reply framed by Content-Length.
        static Reply json(int status, const QJsonObject &body);
        /// A streamed NDJSON reply with these lines, one chunk each.
        static Reply stream(const QList<QByteArray> &lines,
                            std::chrono::milliseconds interval = std::chrono::milliseconds{0});
    };

    explicit TestEngine(QObject *parent = nullptr);
    ~TestEngine() override;

    /// Listens on 127.0.0.1 only; port 0 picks a free one.
    bool listen(quint16 port = 0);
    quint16 port() const;
    /// "127.0.0.1:<port>", the form the OLLAMA_HOST variable takes.
    QByteArray ollamaHost() const;

    // The engine's own behaviour
    void setInstalledModels(const QStringList &names); // tags lists them as given
    QStringList installedModels() const;
    bool isInstalled(const QString &name) const;       // "moondream" matches "moondream:latest"
    void setChatReply(const QStringList &pieces);      // streamed by chat and generate
    QStringList chatReply() const { return m_chatReply; }
    void setUnpullable(const QStringList &nameFragments); // pulls of names containing one fail
    void setStreamInterval(std::chrono::milliseconds interval); // between default stream lines

    // Scripting
    /// Every following request to @p path (query ignored) gets @p reply, until clearScripts().
    void script(const QByteArray &path, const Reply &reply);
    /// Only the next request to @p path gets @p reply; queued ones are used in order, before
    /// any script() for the same path.
    void scriptOnce(const QByteArray &path, const Reply &reply);
    void clearScripts();

    // Observation
    QList<Request> requests() const { return m_requests; }
    QList<Request> requests(const QByteArray &path) const;
    void clearRequests() { m_requests.clear(); }
    int openConnections() const;
    int connectionCount() const { return m_connectionsAccepted; } // accepted since listen()

    // Body builders
    static QByteArray line(const QJsonObject &object); // compact JSON + "\n"
    /// Pieces of @p n bytes (the last may be shorter), cutting lines and characters anywhere.
    static QList<QByteArray> cutEvery(const QByteArray &bytes, int n);
    /// Pieces cut at these byte offsets (any order; duplicates and out-of-range ignored).
    static QList<QByteArray> cutAt(const QByteArray &bytes, QList<int> positions);
    static QByteArray joined(const QList<QByteArray> &pieces);
    /// "Hello there, friend." -> "Hello", " there,", " friend." : pieces the way a model streams.
    static QStringList words(const QString &text);
    static QList<QByteArray> chatLines(const QString &model, const QStringList &pieces,
                                       bool withFinal = true);
    static QByteArray chatFinalLine(const QString &model, const QString &doneReason = QStringLiteral("stop"));
    static QList<QByteArray> generateLines(const QString &model, const QStringList &pieces,
                                           bool withFinal = true);
    static QByteArray generateFinalLine(const QString &model, const QString &doneReason = QStringLiteral("stop"));
    /// The full progress sequence of a successful pull, ending in {"status":"success"}.
    static QList<QByteArray> pullLines(const QString &model);
    /// {"error":"model \"NAME\" not found, try pulling it first"}
    static QJsonObject modelNotFound(const QString &model);
    /// One entry of the tags list: plausible size, digest and details for the name.
    static QJsonObject tagsEntry(const QString &name);
    /// The name with ":latest" added when it has no tag, as the engine stores it.
    static QString normalized(const QString &name);

signals:
    /// Emitted before the reply is chosen, so a connected slot may still script it.
    void requestReceived(const TestEngine::Request &request);
    /// A client connection went away, whichever side closed it.
    void connectionClosed();

private:
    class Connection;
    friend class Connection;

    struct Outgoing
    {
        Reply reply;
        std::function<void()> onComplete; // after a normal end, e.g. a pull installs its model
        bool headOnly = false;            // a HEAD request
    };

    Outgoing answer(const Request &request);
    Outgoing answerChat(const Request &request, bool generate);
    Outgoing answerPull(const Request &request);
    Outgoing received(const Request &request);
    void closed(Connection *connection);

    QTcpServer *m_server = nullptr;
    QList<Connection *> m_connections;
    int m_connectionsAccepted = 0;
    QList<Request> m_requests;
    QStringList m_installed;
    QStringList m_chatReply;
    QStringList m_unpullable;
    std::chrono::milliseconds m_streamInterval{0};
    QHash<QByteArray, Reply> m_scripts;
    QHash<QByteArray, QList<Reply>> m_onceScripts;
};
