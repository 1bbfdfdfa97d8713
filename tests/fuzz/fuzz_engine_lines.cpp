// The engine's streamed body: split at line feeds (a CR before the LF dropped, a partial line
// kept, the last unterminated line taken at the end), each line decoded as a chat, generate or
// pull record. Whatever the cuts, the elements must be those of the lines read one by one.

#include "FuzzSupport.h"
#include "HttpExchange.h"
#include "OllamaClient.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QUrl>

#include <chrono>
#include <cmath>
#include <memory>

namespace {

enum class Kind { chat, generate, pull };

struct Elements
{
    QStringList pieces;
    QList<PullProgress> progress;
    int finished = 0;

    bool operator==(const Elements &) const = default;
};

HttpExchange *idleExchange()
{
    static QTcpServer server; // listens, never accepts: the exchange's socket stays quiet
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost))
        Fuzz::fail("no loopback port");
    QUrl url(QStringLiteral("http://127.0.0.1/api/chat"));
    url.setPort(server.serverPort());
    return new HttpExchange("POST", url, QByteArray("{}"), std::chrono::hours(1));
}

/// What the stream should deliver: every non-empty line, in order, up to the final element.
Elements expected(QByteArrayView body, Kind kind)
{
    Elements out;
    const QList<QByteArray> lines = QByteArray(body.data(), body.size()).split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        bool done = false;
        if (kind == Kind::pull) {
            if (const auto chunk = PullChunk::decode(line)) {
                out.progress.append({chunk->status.value_or(QString()), chunk->digest, chunk->total, chunk->completed});
                done = out.progress.last().status == QLatin1String("success");
            }
        } else if (kind == Kind::chat) {
            if (const auto chunk = ChatChunk::decode(line)) {
                if (chunk->message && chunk->message->content && !chunk->message->content->isEmpty())
                    out.pieces.append(*chunk->message->content);
                done = chunk->done.value_or(false);
            }
        } else if (const auto chunk = GenerateChunk::decode(line)) {
            if (chunk->response && !chunk->response->isEmpty())
                out.pieces.append(*chunk->response);
            done = chunk->done.value_or(false);
        }
        if (done)
            break;
    }
    out.finished = 1; // by the final element or by the body's end
    return out;
}

Elements stream(QByteArrayView body, Kind kind, Fuzz::Cut cut)
{
    Elements out;
    {
        HttpExchange *exchange = idleExchange();
        std::unique_ptr<OllamaStream> stream;
        if (kind == Kind::pull) {
            auto pull = std::make_unique<PullStream>(exchange);
            QObject::connect(pull.get(), &PullStream::progress, [&](const PullProgress &step) { out.progress.append(step); });
            stream = std::move(pull);
        } else {
            auto text = std::make_unique<TextStream>(exchange, kind == Kind::chat ? TextStream::Kind::chat : TextStream::Kind::generate);
            QObject::connect(text.get(), &TextStream::piece, [&](const QString &piece) {
                Fuzz::check(!piece.isEmpty(), "no empty piece");
                out.pieces.append(piece);
            });
            stream = std::move(text);
        }
        QObject::connect(stream.get(), &OllamaStream::finished, [&] { ++out.finished; });
        QObject::connect(stream.get(), &OllamaStream::failed, [] { Fuzz::fail("a body that arrived whole never fails"); });
        emit exchange->responseStarted(200);
        Fuzz::inPieces(body, cut, [&](const QByteArray &piece) {
            emit exchange->bodyReceived(piece);
            return stream->isRunning();
        });
        if (stream->isRunning())
            emit exchange->completed();
        Fuzz::check(!stream->isRunning(), "the body's end ends the stream");
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return out;
}

} // namespace

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView body(data, qsizetype(size));
    for (const Kind kind : {Kind::chat, Kind::generate, Kind::pull}) {
        const Elements want = expected(body, kind);
        for (const Fuzz::Cut cut : Fuzz::cuts)
            Fuzz::check(stream(body, kind, cut) == want, "the stream's elements are those of its lines");
        if (kind == Kind::pull) {
            PullTracker tracker;
            for (const PullProgress &step : want.progress) {
                tracker.add(step);
                if (const auto fraction = tracker.fraction())
                    Fuzz::check(std::isfinite(*fraction) && tracker.total() > 0, "a finite fraction of a positive total");
            }
        }
    }
    return 0;
}
