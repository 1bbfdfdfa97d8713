#include "OllamaClient.h"

#include "DebugLog.h"
#include "HttpExchange.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

using namespace std::chrono_literals;

namespace {

constexpr quint16 defaultPort = 11434;
constexpr auto streamIdleLimit = 900s;
constexpr auto preloadIdleLimit = 600s;
constexpr auto tagsIdleLimit = 2500ms;
const QString keepAlive = QStringLiteral("30m");

HttpExchange *exchange(const QByteArray &method, const QString &path, const QByteArray &body,
                       std::chrono::milliseconds idleLimit)
{
    QUrl url = OllamaClient::baseURL();
    url.setPath(QLatin1Char('/') + path);
    return new HttpExchange(method, url, body, idleLimit);
}

HttpExchange *post(const QString &path, const QByteArray &body, std::chrono::milliseconds idleLimit)
{
    return exchange("POST", path, body, idleLimit);
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

// --- OllamaStream ---

OllamaStream::OllamaStream(HttpExchange *exchange)
    : m_exchange(exchange)
{
    exchange->setParent(this);
    connect(exchange, &HttpExchange::responseStarted, this, [this](int status) {
        if (status != 200)
            end(OllamaError::badResponse(status)); // the body is not read
    });
    connect(exchange, &HttpExchange::bodyReceived, this, &OllamaStream::onBody);
    connect(exchange, &HttpExchange::completed, this, &OllamaStream::onCompleted);
    connect(exchange, &HttpExchange::failed, this, [this](const OllamaError &error) { end(error); });
}

OllamaStream::~OllamaStream()
{
    cancel();
}

void OllamaStream::cancel()
{
    HttpExchange *exchange = std::exchange(m_exchange, nullptr);
    if (!exchange)
        return;
    disconnect(exchange, nullptr, this, nullptr);
    exchange->abort(); // closes the connection now, so the engine stops generating
    // Not our child any more: a stream destroyed from one of its own slots is inside the
    // exchange's socket, which must live until that call has returned.
    exchange->setParent(nullptr);
    exchange->deleteLater();
}

void OllamaStream::end(const std::optional<OllamaError> &error)
{
    cancel();
    if (error)
        emit failed(*error);
    else
        emit finished();
}

void OllamaStream::onBody(const QByteArray &bytes)
{
    if (m_buffer.isEmpty())
        m_buffer = bytes; // shared, not copied: the common case of reads that end on a line feed
    else
        m_buffer.append(bytes);
    if (consumeLines(false))
        end(std::nullopt);
}

void OllamaStream::onCompleted()
{
    // The body ended: a last line without its line feed still counts.
    QPointer<OllamaStream> self(this);
    consumeLines(true);
    if (self && m_exchange)
        end(std::nullopt);
}

bool OllamaStream::consumeLines(bool bodyEnded)
{
    QPointer<OllamaStream> self(this);
    qsizetype start = 0;
    for (;;) {
        qsizetype lineFeed = m_buffer.indexOf('\n', m_scanned);
        const bool last = lineFeed < 0 && bodyEnded && start < m_buffer.size();
        if (lineFeed < 0 && !last)
            break;
        if (last)
            lineFeed = m_buffer.size();
        QByteArrayView line(m_buffer.constData() + start, lineFeed - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = m_scanned = lineFeed + 1;
        if (line.isEmpty())
            continue;
        const bool final = deliverLine(line);
        if (!self || !m_exchange)
            return false; // the consumer cancelled or dropped us while handling the element
        if (final)
            return true;
    }
    m_buffer.remove(0, start);
    m_scanned = qMax<qsizetype>(0, m_scanned - start);
    return false;
}

bool TextStream::deliverLine(QByteArrayView line)
{
    QString text;
    bool done = false;
    if (m_kind == Kind::chat) {
        const std::optional<ChatChunk> chunk = ChatChunk::decode(line);
        if (!chunk)
            return false; // not ours to judge: skip it and read on
        if (chunk->message && chunk->message->content)
            text = *chunk->message->content;
        done = chunk->done.value_or(false);
    } else {
        const std::optional<GenerateChunk> chunk = GenerateChunk::decode(line);
        if (!chunk)
            return false;
        text = chunk->response.value_or(QString());
        done = chunk->done.value_or(false);
    }
    if (!text.isEmpty())
        emit piece(text);
    return done;
}

bool PullStream::deliverLine(QByteArrayView line)
{
    const std::optional<PullChunk> chunk = PullChunk::decode(line);
    if (!chunk)
        return false;
    const PullProgress step{chunk->status.value_or(QString()), chunk->digest, chunk->total, chunk->completed};
    emit progress(step);
    return step.status == QLatin1String("success");
}

ChatReply::ChatReply(std::unique_ptr<TextStream> stream)
    : m_stream(std::move(stream))
{
    connect(m_stream.get(), &TextStream::piece, this, [this](const QString &piece) { m_text += piece; });
    connect(m_stream.get(), &OllamaStream::finished, this, [this] { emit finished(m_text); });
    connect(m_stream.get(), &OllamaStream::failed, this, &ChatReply::failed);
}

// --- OllamaClient ---

namespace OllamaClient {

std::optional<QUrl> loopbackURL(const QString &ollamaHost)
{
    QString rest = ollamaHost.trimmed();
    if (rest.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        rest = rest.mid(7);
    if (rest.endsWith(u'/'))
        rest.chop(1);
    if (rest.isEmpty() || rest.contains(u'/') || rest.contains(u'@'))
        return std::nullopt;

    QString host = rest;
    QString port;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(u':'))
                return std::nullopt;
            port = after.mid(1);
            if (port.isEmpty())
                return std::nullopt;
        }
    } else if (rest.count(u':') == 1) {
        host = rest.section(u':', 0, 0);
        port = rest.section(u':', 1);
        if (port.isEmpty())
            return std::nullopt;
    }

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        url.setHost(QStringLiteral("127.0.0.1"));
    } else {
        const QHostAddress address(host);
        if (address.isNull())
            return std::nullopt; // other names could resolve to anywhere
        if (address == QHostAddress(QHostAddress::AnyIPv4))
            url.setHost(QStringLiteral("127.0.0.1"));
        else if (address == QHostAddress(QHostAddress::AnyIPv6))
            url.setHost(QStringLiteral("::1"));
        else if (address.isLoopback())
            url.setHost(address.toString());
        else
            return std::nullopt;
    }
    bool ok = true;
    const uint number = port.isEmpty() ? defaultPort : port.toUInt(&ok);
    if (!ok || number == 0 || number > 65535)
        return std::nullopt;
    url.setPort(int(number));
    return url;
}

QUrl baseURL()
{
    static const QUrl url = [] {
        QUrl fallback;
        fallback.setScheme(QStringLiteral("http"));
        fallback.setHost(QStringLiteral("127.0.0.1"));
        fallback.setPort(defaultPort);
        const QString host = qEnvironmentVariable("OLLAMA_HOST");
        if (host.trimmed().isEmpty())
            return fallback;
        if (auto loopback = loopbackURL(host))
            return *loopback;
        DebugLog::log(QStringLiteral("OllamaClient ignoring OLLAMA_HOST \"%1\": not an address on this machine").arg(host));
        return fallback;
    }();
    return url;
}

QByteArray chatBody(const QString &model, const QList<ChatTurn> &history, const std::optional<QString> &systemPrompt)
{
    QJsonArray messages;
    if (systemPrompt)
        messages.append(QJsonObject{{"role", "system"}, {"content", *systemPrompt}});
    for (const ChatTurn &turn : history) {
        QJsonObject message{{"role", turn.role}, {"content", turn.content}};
        if (turn.imageBase64)
            message.insert(QLatin1String("images"), QJsonArray{*turn.imageBase64});
        messages.append(message);
    }
    return compact({{"model", model}, {"messages", messages}, {"stream", true}, {"keep_alive", keepAlive}});
}

QByteArray generateBody(const QString &model, const QString &prompt, const std::optional<QString> &imageBase64)
{
    QJsonObject body{{"model", model}, {"prompt", prompt}, {"stream", true}, {"keep_alive", keepAlive}};
    if (imageBase64)
        body.insert(QLatin1String("images"), QJsonArray{*imageBase64});
    return compact(body);
}

QByteArray warmUpBody(const QString &model)
{
    return compact({{"model", model}, {"prompt", QString()}, {"stream", false}, {"keep_alive", keepAlive}});
}

QByteArray pullBody(const QString &model)
{
    return compact({{"model", model}, {"stream", true}});
}

std::unique_ptr<TextStream> streamChat(const QString &model, const QList<ChatTurn> &history,
                                       const std::optional<QString> &systemPrompt)
{
    return std::make_unique<TextStream>(post(QStringLiteral("api/chat"), chatBody(model, history, systemPrompt), streamIdleLimit),
                                        TextStream::Kind::chat);
}

std::unique_ptr<TextStream> streamGenerate(const QString &model, const QString &prompt,
                                           const std::optional<QString> &imageBase64)
{
    return std::make_unique<TextStream>(post(QStringLiteral("api/generate"), generateBody(model, prompt, imageBase64), streamIdleLimit),
                                        TextStream::Kind::generate);
}

std::unique_ptr<ChatReply> chat(const QString &model, const QList<ChatTurn> &history,
                                const std::optional<QString> &systemPrompt)
{
    return std::make_unique<ChatReply>(streamChat(model, history, systemPrompt));
}

std::unique_ptr<PullStream> pull(const QString &model)
{
    return std::make_unique<PullStream>(post(QStringLiteral("api/pull"), pullBody(model), streamIdleLimit));
}

void preload(const QString &model, QObject *context, std::function<void()> done)
{
    auto *warmUp = post(QStringLiteral("api/generate"), warmUpBody(model), preloadIdleLimit);
    warmUp->setParent(QCoreApplication::instance()); // else leaked when the program quits first
    // The reply is not read; only its end matters.
    auto ended = [warmUp, context = QPointer<QObject>(context), hasContext = context != nullptr, done] {
        warmUp->deleteLater();
        if (done && (!hasContext || context))
            done();
    };
    QObject::connect(warmUp, &HttpExchange::completed, warmUp, ended);
    QObject::connect(warmUp, &HttpExchange::failed, warmUp, ended);
}

void installedModels(QObject *context, std::function<void(std::optional<QStringList>)> done)
{
    auto *tags = exchange("GET", QStringLiteral("api/tags"), QByteArray(), tagsIdleLimit);
    tags->setParent(QCoreApplication::instance());
    auto body = std::make_shared<QByteArray>();
    // Pointer, not optional: GCC 12 misreads the moves of an empty optional list as uninitialised.
    auto deliver = [tags, context = QPointer<QObject>(context), done](const QStringList *models) {
        tags->abort();
        tags->deleteLater();
        std::optional<QStringList> result;
        if (models)
            result = *models;
        if (context)
            done(result);
    };
    QObject::connect(tags, &HttpExchange::responseStarted, tags, [deliver](int status) {
        if (status != 200)
            deliver(nullptr);
    });
    QObject::connect(tags, &HttpExchange::bodyReceived, tags, [body](const QByteArray &bytes) { body->append(bytes); });
    QObject::connect(tags, &HttpExchange::completed, tags, [deliver, body] {
        const std::optional<TagsResponse> decoded = TagsResponse::decode(*body);
        deliver(decoded ? &decoded->models : nullptr);
    });
    QObject::connect(tags, &HttpExchange::failed, tags, [deliver] { deliver(nullptr); });
}

bool hasModel(const QString &name, const QStringList &installed)
{
    const QString full = name.contains(u':') ? name : name + QStringLiteral(":latest");
    return installed.contains(full) || installed.contains(name);
}

} // namespace OllamaClient
