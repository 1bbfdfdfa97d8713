#pragma once

#include "OllamaTypes.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <chrono>

class QTcpSocket;

/// One HTTP/1.1 request and its reply over its own connection to a loopback address: the
/// transport of the engine client.
///
/// Written for the engine's streams rather than taken from QNetworkAccessManager: that one (Qt
/// 6.4) can report a chunked body cut short by a lost connection as complete, resends requests
/// on its own, and follows proxies and redirects. Here a body ends only by its framing
/// (Content-Length, the last chunk, or the close of a reply that declared neither); a
/// connection that ends earlier, refuses, or answers with something that is not HTTP fails as
/// "unreachable". The idle limit restarts with every byte received.
class HttpExchange : public QObject
{
    Q_OBJECT

public:
    /// Starts the request at once. @p body is sent as JSON when not null.
    HttpExchange(const QByteArray &method, const QUrl &url, const QByteArray &body,
                 std::chrono::milliseconds idleLimit, QObject *parent = nullptr);
    ~HttpExchange() override;

    /// Closes the connection now; no signal follows.
    void abort();

signals:
    /// The reply's head arrived. Its body follows unless the receiver aborts.
    void responseStarted(int status);
    /// Decoded body bytes, as they arrive.
    void bodyReceived(const QByteArray &bytes);
    /// The body ended as its framing says.
    void completed();
    void failed(const OllamaError &error);

private:
    friend struct HttpExchangeProbe; // tests/fuzz: feeds the parser bytes without a socket

    enum class Framing { length, chunked, close };
    enum class ChunkState { size, data, dataEnd, trailer };

    void onReadyRead();
    void onDisconnected();
    bool parseHead();
    /// Decodes what the buffer holds; returns false once the exchange ended or was aborted.
    bool decodeBody();
    void finish(const std::optional<OllamaError> &error);

    QTcpSocket *m_socket;
    QTimer m_idle;
    QByteArray m_request;
    QByteArray m_in;
    bool m_headDone = false;
    bool m_ended = false;
    bool m_noBody = false;
    Framing m_framing = Framing::close;
    qint64 m_remaining = 0; // bytes of the body (length) or of the current chunk (chunked)
    ChunkState m_chunk = ChunkState::size;
};
