#include "HttpExchange.h"

#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>

namespace {
constexpr qsizetype maxHeadSize = 64 * 1024;
constexpr qsizetype maxLineSize = 4 * 1024; // a chunk-size or trailer line
} // namespace

HttpExchange::HttpExchange(const QByteArray &method, const QUrl &url, const QByteArray &body,
                           std::chrono::milliseconds idleLimit, QObject *parent)
    : QObject(parent)
    , m_socket(new QTcpSocket(this))
{
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    m_request = method + ' ' + target + " HTTP/1.1\r\nHost: " + url.authority(QUrl::FullyEncoded).toLatin1()
        + "\r\nConnection: close\r\n";
    if (!body.isNull())
        m_request += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    m_request += "\r\n" + body;
    m_noBody = method == "HEAD";

    m_socket->setProxy(QNetworkProxy::NoProxy);
    // A consumer slower than the engine leaves the rest in the kernel (TCP holds the engine
    // back) instead of letting this buffer grow with the stream.
    m_socket->setReadBufferSize(256 * 1024);
    m_idle.setSingleShot(true);
    m_idle.setTimerType(Qt::PreciseTimer);
    m_idle.setInterval(idleLimit);
    connect(&m_idle, &QTimer::timeout, this, [this] { finish(OllamaError::transport(QStringLiteral("The request timed out."))); });
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket->write(m_request);
        m_request.clear();
    });
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] { m_idle.start(); });
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpExchange::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpExchange::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            return; // disconnected() follows and decides whether the body was complete
        if (error == QAbstractSocket::SocketTimeoutError)
            return finish(OllamaError::transport(QStringLiteral("The request timed out.")));
        finish(OllamaError::unreachable()); // refused, reset, unreachable network
    });
    m_idle.start();
    m_socket->connectToHost(url.host(), quint16(url.port(80)));
}

HttpExchange::~HttpExchange()
{
    abort();
}

void HttpExchange::abort()
{
    if (m_ended)
        return;
    m_ended = true;
    m_idle.stop();
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
}

void HttpExchange::finish(const std::optional<OllamaError> &error)
{
    if (m_ended)
        return;
    abort();
    if (error)
        emit failed(*error);
    else
        emit completed();
}

void HttpExchange::onReadyRead()
{
    m_idle.start();
    if (m_in.isEmpty())
        m_in = m_socket->readAll();
    else
        m_in.append(m_socket->readAll());
    if (!m_headDone) {
        QPointer<HttpExchange> self(this);
        if (!parseHead() || !self || m_ended)
            return;
    }
    decodeBody();
}

void HttpExchange::onDisconnected()
{
    if (m_ended)
        return;
    m_in.append(m_socket->readAll());
    if (!m_headDone) {
        QPointer<HttpExchange> self(this);
        if (!parseHead() || !self || m_ended) {
            if (self && !m_ended)
                finish(OllamaError::unreachable()); // closed before a whole head
            return;
        }
    }
    if (!decodeBody())
        return;
    // Only a body that declared no length ends with the connection.
    finish(m_framing == Framing::close ? std::nullopt : std::optional(OllamaError::unreachable()));
}

bool HttpExchange::parseHead()
{
    const qsizetype end = m_in.indexOf("\r\n\r\n");
    if (end < 0) {
        // Not HTTP at all, or a head that never ends: either way no engine is speaking.
        if (m_in.size() > maxHeadSize || (m_in.size() >= 5 && !m_in.startsWith("HTTP/")))
            finish(OllamaError::unreachable());
        return false;
    }
    const QList<QByteArray> lines = m_in.left(end).split('\n');
    m_in.remove(0, end + 4);
    const QList<QByteArray> statusLine = lines.first().trimmed().split(' ');
    bool ok = false;
    const int status = statusLine.value(1).toInt(&ok);
    if (!statusLine.first().startsWith("HTTP/1.") || !ok || status < 100 || status > 999) {
        finish(OllamaError::unreachable());
        return false;
    }
    m_framing = Framing::close;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "transfer-encoding" && value.toLower().contains("chunked")) {
            m_framing = Framing::chunked;
        } else if (name == "content-length" && m_framing != Framing::chunked) {
            m_remaining = value.toLongLong(&ok);
            if (!ok || m_remaining < 0) {
                finish(OllamaError::unreachable());
                return false;
            }
            m_framing = Framing::length;
        }
    }
    if (status == 204 || status == 304 || (status >= 100 && status < 200) || m_noBody) {
        m_framing = Framing::length;
        m_remaining = 0;
    }
    m_headDone = true;
    QPointer<HttpExchange> self(this);
    emit responseStarted(status);
    return self && !m_ended;
}

bool HttpExchange::decodeBody()
{
    QByteArray out;
    qsizetype pos = 0;
    bool done = false;
    bool malformed = false; // reported after the body decoded before it, as when cut there
    switch (m_framing) {
    case Framing::close:
        out = std::exchange(m_in, {});
        break;
    case Framing::length: {
        const qsizetype take = qsizetype(qMin<qint64>(m_remaining, m_in.size()));
        out = std::exchange(m_in, {});
        out.truncate(take); // bytes past the body are not ours to read
        m_remaining -= take;
        done = m_remaining == 0;
        break;
    }
    case Framing::chunked:
        while (!done && pos < m_in.size()) {
            if (m_chunk == ChunkState::data) {
                const qsizetype take = qsizetype(qMin<qint64>(m_remaining, m_in.size() - pos));
                out.append(m_in.constData() + pos, take);
                pos += take;
                m_remaining -= take;
                if (m_remaining == 0)
                    m_chunk = ChunkState::dataEnd;
                continue;
            }
            const qsizetype lineEnd = m_in.indexOf("\r\n", pos);
            if (lineEnd < 0) {
                malformed = m_in.size() - pos > maxLineSize;
                break;
            }
            const QByteArray line = m_in.mid(pos, lineEnd - pos);
            pos = lineEnd + 2;
            if (m_chunk == ChunkState::dataEnd) {
                if (!line.isEmpty()) {
                    malformed = true;
                    break;
                }
                m_chunk = ChunkState::size;
            } else if (m_chunk == ChunkState::size) {
                bool ok = false;
                m_remaining = line.split(';').first().trimmed().toLongLong(&ok, 16);
                if (!ok || m_remaining < 0) {
                    malformed = true;
                    break;
                }
                m_chunk = m_remaining == 0 ? ChunkState::trailer : ChunkState::data;
            } else if (line.isEmpty()) { // the blank line after the trailers ends the body
                done = true;
            }
        }
        m_in.remove(0, pos);
        break;
    }
    if (!out.isEmpty()) {
        QPointer<HttpExchange> self(this);
        emit bodyReceived(out);
        if (!self || m_ended)
            return false;
    }
    if (malformed) {
        finish(OllamaError::unreachable());
        return false;
    }
    if (done) {
        finish(std::nullopt);
        return false;
    }
    return true;
}
