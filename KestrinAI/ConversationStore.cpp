#include "ConversationStore.h"

#include "AppPaths.h"
#include "PrivateFile.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <mutex>

namespace ConversationStore {

namespace {

constexpr auto orynMessagesKey = QLatin1String("orynMessages");
constexpr auto kestrinMessagesKey = QLatin1String("kestrinMessages");
constexpr auto orynHistoryKey = QLatin1String("orynHistory");

/// The serial worker: one thread, jobs in order. Saves are numbered per file so that a save
/// that a later one has overtaken in the queue skips its (wasted) write.
class Worker
{
public:
    Worker()
    {
        m_pool.setMaxThreadCount(1);
        m_pool.setThreadPriority(QThread::LowPriority);
        m_pool.setExpiryTimeout(-1); // keep the thread; saves come often
    }
    ~Worker() { m_pool.waitForDone(); }

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

Q_GLOBAL_STATIC(Worker, worker)

QJsonArray messagesToJson(const QList<ChatMessage> &messages)
{
    QJsonArray array;
    for (const ChatMessage &message : messages)
        array.append(message.toJson());
    return array;
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
    QJsonArray history;
    for (const ChatTurn &turn : snapshot.orynHistory)
        history.append(turn.toJson());
    const QJsonObject root{{orynMessagesKey, messagesToJson(snapshot.orynMessages)},
                           {kestrinMessagesKey, messagesToJson(snapshot.kestrinMessages)},
                           {orynHistoryKey, history}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
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
    // The continuation runs on the context's thread and is dropped if the context dies first.
    QtConcurrent::run(worker()->pool(), [path] { return load(path); })
        .then(context, [done = std::move(done)](ConversationSnapshot snapshot) { done(std::move(snapshot)); });
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
