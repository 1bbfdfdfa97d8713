#pragma once

#include "ChatTurn.h"
#include "OllamaTypes.h"

#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class HttpExchange;

/// A streamed reply of the engine: newline-delimited JSON, turned into elements as the lines
/// arrive. The request is under way when the stream is returned.
///
/// Lifetime and cancellation: the consumer owns the stream. cancel() or destroying the stream
/// aborts the HTTP request at once (the socket is closed), and no signal is emitted after that,
/// not even an error. A stream ends exactly once, with finished() or failed(); the element that
/// ends it is delivered first and nothing after it is read. Elements are emitted directly from
/// the socket's readyRead on the stream's thread, so nothing is buffered or dropped; a consumer
/// may cancel or even delete the stream from any of its slots.
class OllamaStream : public QObject
{
    Q_OBJECT

public:
    ~OllamaStream() override;

    /// Aborts the request; nothing is emitted afterwards. Harmless once the stream has ended.
    void cancel();
    bool isRunning() const { return m_exchange != nullptr; }

signals:
    /// The final element was delivered, or the body ended.
    void finished();
    void failed(const OllamaError &error);

protected:
    /// Takes over @p exchange, which must not have emitted anything yet.
    explicit OllamaStream(HttpExchange *exchange);

    /// Decodes and delivers one non-empty line; returns true when it was the final element.
    /// Emitting may cancel or delete the stream: callers check isRunning() after each line.
    virtual bool deliverLine(QByteArrayView line) = 0;

private:
    void onBody(const QByteArray &bytes);
    void onCompleted();
    bool consumeLines(bool bodyEnded);
    void end(const std::optional<OllamaError> &error);

    HttpExchange *m_exchange;
    QByteArray m_buffer;    // bytes of the line(s) not yet complete
    qsizetype m_scanned = 0; // m_buffer holds no line feed before this offset
};

/// A stream of non-empty text pieces: a chat reply or a generation.
class TextStream : public OllamaStream
{
    Q_OBJECT

public:
    enum class Kind { chat, generate };
    TextStream(HttpExchange *exchange, Kind kind) : OllamaStream(exchange), m_kind(kind) { }

signals:
    void piece(const QString &text);

protected:
    bool deliverLine(QByteArrayView line) override;

private:
    Kind m_kind;
};

/// A model download: one PullProgress per line; it ends after the element whose status is
/// exactly "success".
class PullStream : public OllamaStream
{
    Q_OBJECT

public:
    explicit PullStream(HttpExchange *exchange) : OllamaStream(exchange) { }

signals:
    void progress(const PullProgress &progress);

protected:
    bool deliverLine(QByteArrayView line) override;
};

/// A whole chat reply, gathered from a TextStream. Owned by the caller; destroying or cancelling
/// it aborts the request without a signal.
class ChatReply : public QObject
{
    Q_OBJECT

public:
    explicit ChatReply(std::unique_ptr<TextStream> stream);
    void cancel() { m_stream->cancel(); }
    /// What has arrived so far.
    QString text() const { return m_text; }

signals:
    void finished(const QString &text);
    void failed(const OllamaError &error);

private:
    std::unique_ptr<TextStream> m_stream;
    QString m_text;
};

/// The one network client of the program: the local Ollama engine over plain HTTP on the
/// loopback interface. Stateless: every call makes a fresh request on its own connection (no
/// proxy, no redirect, no retry).
namespace OllamaClient {

/// http://127.0.0.1:11434, or the loopback address that OLLAMA_HOST names. OLLAMA_HOST naming
/// another machine is ignored (one log line), so nothing ever leaves this machine.
QUrl baseURL();
/// The base address for an OLLAMA_HOST value, or no value when it does not name this machine.
/// "0.0.0.0" and "[::]" (the engine listening everywhere) mean the loopback address.
std::optional<QUrl> loopbackURL(const QString &ollamaHost);

/// A streamed chat reply ("api/chat"). The system prompt, when given, goes first.
std::unique_ptr<TextStream> streamChat(const QString &model, const QList<ChatTurn> &history,
                                       const std::optional<QString> &systemPrompt);
/// A streamed single-prompt generation ("api/generate"), with an optional base64 image.
std::unique_ptr<TextStream> streamGenerate(const QString &model, const QString &prompt,
                                           const std::optional<QString> &imageBase64);
/// The whole chat reply of streamChat.
std::unique_ptr<ChatReply> chat(const QString &model, const QList<ChatTurn> &history,
                                const std::optional<QString> &systemPrompt);
/// Asks the engine to load @p model and keep it for 30 minutes. Never fails; @p done (if given)
/// runs on @p context's thread once the engine answered or the attempt failed.
void preload(const QString &model, QObject *context = nullptr, std::function<void()> done = {});
/// The names of the installed models, in the engine's order; no value when the engine did not
/// answer properly within 2.5 s. @p done runs unless @p context is gone.
void installedModels(QObject *context, std::function<void(std::optional<QStringList>)> done);
/// Whether @p name is installed; a name without a tag means its ":latest".
bool hasModel(const QString &name, const QStringList &installed);
/// A model download with progress ("api/pull").
std::unique_ptr<PullStream> pull(const QString &model);

/// Request bodies, as sent.
QByteArray chatBody(const QString &model, const QList<ChatTurn> &history, const std::optional<QString> &systemPrompt);
QByteArray generateBody(const QString &model, const QString &prompt, const std::optional<QString> &imageBase64);
QByteArray warmUpBody(const QString &model);
QByteArray pullBody(const QString &model);

} // namespace OllamaClient
