// The engine's HTTP reply reader: status line, headers, and the body by Content-Length, chunks
// or the close, fed in arbitrary pieces. The reply must not depend on where the bytes were cut.

#include "FuzzSupport.h"
#include "HttpExchange.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <chrono>

struct HttpExchangeProbe
{
    // The exchange's own socket is cut off and closed, so only these bytes reach the parser (and
    // its reads, which find nothing, cost nothing).
    static void detach(HttpExchange &exchange)
    {
        QObject::disconnect(exchange.m_socket, nullptr, &exchange, nullptr);
        exchange.m_socket->abort();
    }
    static void feed(HttpExchange &exchange, const QByteArray &bytes)
    {
        exchange.m_in.append(bytes);
        exchange.onReadyRead();
    }
    static void close(HttpExchange &exchange) { exchange.onDisconnected(); }
    static bool ended(const HttpExchange &exchange) { return exchange.m_ended; }
};

namespace {

struct Reply
{
    int status = -1;
    QByteArray body;
    int bodySignals = 0;
    enum { open, completed, failed } end = open;
    OllamaError error;

    bool operator==(const Reply &o) const
    {
        return status == o.status && body == o.body && end == o.end && (end != failed || error == o.error);
    }
};

QUrl target()
{
    static QTcpServer server; // listens, never accepts
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost))
        Fuzz::fail("no loopback port");
    QUrl url(QStringLiteral("http://127.0.0.1/api/chat"));
    url.setPort(server.serverPort());
    return url;
}

Reply read(QByteArrayView bytes, Fuzz::Cut cut, const QByteArray &method)
{
    Reply reply;
    {
        HttpExchange exchange(method, target(), QByteArray("{}"), std::chrono::hours(1));
        HttpExchangeProbe::detach(exchange);
        QObject::connect(&exchange, &HttpExchange::responseStarted, [&](int status) {
            Fuzz::check(reply.status == -1 && reply.end == Reply::open, "one head, before the end");
            reply.status = status;
        });
        QObject::connect(&exchange, &HttpExchange::bodyReceived, [&](const QByteArray &bytes) {
            Fuzz::check(reply.status != -1 && reply.end == Reply::open && !bytes.isEmpty(), "body after the head");
            reply.body += bytes;
            ++reply.bodySignals;
        });
        QObject::connect(&exchange, &HttpExchange::completed, [&] {
            Fuzz::check(reply.end == Reply::open && reply.status != -1, "one end");
            reply.end = Reply::completed;
        });
        QObject::connect(&exchange, &HttpExchange::failed, [&](const OllamaError &error) {
            Fuzz::check(reply.end == Reply::open, "one end");
            reply.end = Reply::failed;
            reply.error = error;
        });
        Fuzz::inPieces(bytes, cut, [&](const QByteArray &piece) {
            HttpExchangeProbe::feed(exchange, piece);
            return !HttpExchangeProbe::ended(exchange);
        });
        if (!HttpExchangeProbe::ended(exchange))
            HttpExchangeProbe::close(exchange);
        Fuzz::check(reply.end != Reply::open, "the close ends every exchange");
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return reply;
}

void same(const Reply &a, const Reply &b, const char *what)
{
    if (a == b)
        return;
    for (const Reply *r : {&a, &b})
        std::fprintf(stderr, "status %d, body %lld bytes in %d, end %d (%s)\n", r->status, qint64(r->body.size()),
                     r->bodySignals, int(r->end), qPrintable(r->error.debugDescription()));
    Fuzz::fail(what);
}

} // namespace

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    for (const QByteArray &method : {QByteArray("POST"), QByteArray("HEAD")}) {
        const Reply whole = read(bytes, Fuzz::Cut::whole, method);
        if (whole.status != -1)
            Fuzz::check(whole.status >= 100 && whole.status <= 999, "a three-digit status");
        if (whole.end == Reply::failed)
            Fuzz::check(whole.error.kind() == OllamaError::Kind::unreachable, "a malformed reply is unreachable");
        if (method == "HEAD")
            Fuzz::check(whole.body.isEmpty(), "no body after HEAD");
        Fuzz::check(bytes.size() >= whole.body.size(), "the body is no larger than the reply");
        same(whole, read(bytes, Fuzz::Cut::bytes, method), "byte-wise read equals the whole read");
        same(whole, read(bytes, Fuzz::Cut::random, method), "randomly cut read equals the whole read");
    }
    return 0;
}
