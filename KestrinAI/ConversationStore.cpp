#include "ConversationStore.h"

#include "AppPaths.h"
#include "DeliverLater.h"
#include "PrivateFile.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <charconv>
#include <cmath>
#include <mutex>
#include <string_view>

namespace ConversationStore {

namespace {

constexpr auto orynMessagesKey = QLatin1String("orynMessages");
constexpr auto kestrinMessagesKey = QLatin1String("kestrinMessages");
constexpr auto orynHistoryKey = QLatin1String("orynHistory");

/// The serial worker: one thread, jobs in order. Saves are numbered per file so that a save
/// that a later one has overtaken in the queue skips its (wasted) write.
class SaveQueue
{
public:
    SaveQueue()
    {
        m_pool.setMaxThreadCount(1);
        m_pool.setThreadPriority(QThread::LowPriority);
        m_pool.setExpiryTimeout(-1); // keep the thread; saves come often
    }
    ~SaveQueue() { m_pool.waitForDone(); }

    QThreadPool *pool() { return &m_pool; }

    void save(ConversationSnapshot snapshot, const QString &path)
    {
        quint64 ticket;
        {
            const std::lock_guard lock(m_mutex);
            ticket = ++m_latest[path];
        }
        m_pool.start([this, snapshot = std::move(snapshot), path, ticket] {
            {
                const std::lock_guard lock(m_mutex);
                if (m_latest.value(path) != ticket)
                    return; // a newer snapshot of this file is queued behind us
            }
            writeNow(snapshot, path);
        });
    }

    void waitForDone() { m_pool.waitForDone(); }

private:
    QThreadPool m_pool;
    std::mutex m_mutex;
    QHash<QString, quint64> m_latest;
};

Q_GLOBAL_STATIC(SaveQueue, worker)

/// A compact JSON writer for the one shape of this file. QJsonDocument builds a tree of every
/// message first and took about 75 ms for 10,000 messages; writing straight into one buffer
/// takes a few.
class Writer
{
public:
    explicit Writer(qsizetype reserve) { m_out.reserve(reserve); }

    QByteArray take() { return std::move(m_out); }

    void raw(std::string_view text) { m_out.append(text.data(), qsizetype(text.size())); }

    void string(const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        m_out.append('"');
        const char *begin = utf8.constData();
        const char *run = begin;
        const char *const end = begin + utf8.size();
        for (const char *p = begin; p != end; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            if (c >= 0x20 && c != '"' && c != '\\')
                continue;
            m_out.append(run, p - run);
            run = p + 1;
            switch (c) {
            case '"': raw("\\\""); break;
            case '\\': raw("\\\\"); break;
            case '\n': raw("\\n"); break;
            case '\r': raw("\\r"); break;
            case '\t': raw("\\t"); break;
            case '\b': raw("\\b"); break;
            case '\f': raw("\\f"); break;
            default: {
                static constexpr char hex[] = "0123456789abcdef";
                const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
                m_out.append(escaped, sizeof escaped);
            }
            }
        }
        m_out.append(run, end - run);
        m_out.append('"');
    }

    void number(double value)
    {
        if (!std::isfinite(value))
            value = 0; // JSON has no NaN; a date can only be this odd if it was never set
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value); // shortest round trip
        m_out.append(buffer, result.ptr - buffer);
    }

    void messages(std::string_view key, const QList<ChatMessage> &list)
    {
        raw(key);
        raw("[");
        for (qsizetype i = 0; i < list.size(); ++i) {
            const ChatMessage &message = list.at(i);
            raw(i ? R"(,{"role":)" : R"({"role":)");
            string(ChatMessage::rawValue(message.role()));
            raw(R"(,"text":)");
            string(message.text());
            raw(R"(,"date":)");
            number(ChatMessage::referenceSeconds(message.date()));
            raw("}");
        }
        raw("]");
    }

    void turns(std::string_view key, const QList<ChatTurn> &list)
    {
        raw(key);
        raw("[");
        for (qsizetype i = 0; i < list.size(); ++i) {
            const ChatTurn &turn = list.at(i);
            raw(i ? R"(,{"role":)" : R"({"role":)");
            string(turn.role);
            raw(R"(,"content":)");
            string(turn.content);
            if (turn.imageBase64) {
                raw(R"(,"imageBase64":)");
                string(*turn.imageBase64);
            }
            raw("}");
        }
        raw("]");
    }

private:
    QByteArray m_out;
};

qsizetype estimatedSize(const ConversationSnapshot &snapshot)
{
    qsizetype size = 64;
    for (const auto *list : {&snapshot.orynMessages, &snapshot.kestrinMessages})
        for (const ChatMessage &message : *list)
            size += message.text().size() + 48;
    for (const ChatTurn &turn : snapshot.orynHistory)
        size += turn.content.size() + (turn.imageBase64 ? turn.imageBase64->size() : 0) + 40;
    return size;
}

template<typename T>
bool readArray(const QJsonObject &object, QLatin1String key, QList<T> &out)
{
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        return false;
    const QJsonArray array = value.toArray();
    out.reserve(array.size());
    for (const QJsonValue &element : array) {
        std::optional<T> item = T::fromJson(element);
        if (!item)
            return false; // one bad entry fails the whole file
        out.append(std::move(*item));
    }
    return true;
}

} // namespace

QByteArray encode(const ConversationSnapshot &snapshot)
{
    Writer writer(estimatedSize(snapshot));
    writer.messages(R"({"orynMessages":)", snapshot.orynMessages);
    writer.messages(R"(,"kestrinMessages":)", snapshot.kestrinMessages);
    writer.turns(R"(,"orynHistory":)", snapshot.orynHistory);
    writer.raw("}");
    return writer.take();
}

std::optional<ConversationSnapshot> decode(const QByteArray &bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    ConversationSnapshot snapshot;
    if (!readArray(root, orynMessagesKey, snapshot.orynMessages)
        || !readArray(root, kestrinMessagesKey, snapshot.kestrinMessages)
        || !readArray(root, orynHistoryKey, snapshot.orynHistory))
        return std::nullopt;
    return snapshot;
}

ConversationSnapshot load(const QString &path)
{
    const std::optional<QByteArray> bytes = PrivateFile::read(path);
    if (!bytes)
        return {};
    return decode(*bytes).value_or(ConversationSnapshot{});
}

ConversationSnapshot load()
{
    return load(AppPaths::conversations());
}

void loadAsync(QObject *context, std::function<void(ConversationSnapshot)> done, const QString &path)
{
    deliverLater(QtConcurrent::run(worker()->pool(), [path] { return load(path); }), context, std::move(done));
}

void loadAsync(QObject *context, std::function<void(ConversationSnapshot)> done)
{
    loadAsync(context, std::move(done), AppPaths::conversations());
}

void save(const ConversationSnapshot &snapshot, const QString &path)
{
    worker()->save(snapshot, path);
}

void save(const QList<ChatMessage> &orynMessages, const QList<ChatMessage> &kestrinMessages,
          const QList<ChatTurn> &orynHistory)
{
    save(ConversationSnapshot{orynMessages, kestrinMessages, orynHistory}, AppPaths::conversations());
}

void waitForPendingSaves()
{
    worker()->waitForDone();
}

bool writeNow(const ConversationSnapshot &snapshot, const QString &path)
{
    return PrivateFile::writeAtomically(path, encode(snapshot));
}

} // namespace ConversationStore
