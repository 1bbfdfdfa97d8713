#include "OllamaTypes.h"

#include <limits>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

QString OllamaError::debugDescription() const
{
    switch (m_kind) {
    case Kind::badResponse:
        return QStringLiteral("badResponse(%1)").arg(m_status);
    case Kind::unreachable:
        return QStringLiteral("unreachable");
    case Kind::transport:
        return QStringLiteral("transport(%1)").arg(m_description);
    }
    return {};
}

QString OllamaError::errorDescription() const
{
    switch (m_kind) {
    case Kind::badResponse:
        return QStringLiteral("Ollama returned an error (HTTP %1). The model may not be installed yet.").arg(m_status);
    case Kind::unreachable:
        return QStringLiteral("Ollama isn't running. Start it (ollama serve), or run setup from the tray icon.");
    case Kind::transport:
        return m_description;
    }
    return {};
}

namespace {

std::optional<QJsonObject> parseObject(QByteArrayView json)
{
    QJsonParseError error{};
    // A view on the caller's bytes, not a copy: this runs for every line of every stream.
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromRawData(json.data(), json.size()), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

/// An optional field: absent for a missing key or null; no value at all (the record fails) for
/// another type. Returns false on a type mismatch.
template<typename T>
bool field(const QJsonObject &object, QLatin1String key, std::optional<T> &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if constexpr (std::is_same_v<T, QString>) {
        if (!value.isString())
            return false;
        out = value.toString();
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!value.isBool())
            return false;
        out = value.toBool();
    } else {
        static_assert(std::is_same_v<T, qint64>);
        // JSON numbers are doubles here; only whole numbers in range are integers.
        const double number = value.toDouble(std::nan(""));
        if (!value.isDouble() || std::trunc(number) != number || std::fabs(number) > 9.007199254740992e15)
            return false;
        out = qint64(number);
    }
    return true;
}

} // namespace

std::optional<ChatChunk> ChatChunk::decode(QByteArrayView json)
{
    const auto object = parseObject(json);
    if (!object)
        return std::nullopt;
    ChatChunk chunk;
    const QJsonValue message = object->value(QLatin1String("message"));
    if (message.isObject()) {
        Message m;
        if (!field(message.toObject(), QLatin1String("content"), m.content))
            return std::nullopt;
        chunk.message = m;
    } else if (!message.isUndefined() && !message.isNull()) {
        return std::nullopt;
    }
    if (!field(*object, QLatin1String("done"), chunk.done))
        return std::nullopt;
    return chunk;
}

std::optional<GenerateChunk> GenerateChunk::decode(QByteArrayView json)
{
    const auto object = parseObject(json);
    GenerateChunk chunk;
    if (!object || !field(*object, QLatin1String("response"), chunk.response)
        || !field(*object, QLatin1String("done"), chunk.done))
        return std::nullopt;
    return chunk;
}

std::optional<PullChunk> PullChunk::decode(QByteArrayView json)
{
    const auto object = parseObject(json);
    PullChunk chunk;
    if (!object || !field(*object, QLatin1String("status"), chunk.status)
        || !field(*object, QLatin1String("digest"), chunk.digest)
        || !field(*object, QLatin1String("total"), chunk.total)
        || !field(*object, QLatin1String("completed"), chunk.completed))
        return std::nullopt;
    return chunk;
}

std::optional<TagsResponse> TagsResponse::decode(QByteArrayView json)
{
    const auto object = parseObject(json);
    if (!object)
        return std::nullopt;
    const QJsonValue models = object->value(QLatin1String("models"));
    if (!models.isArray())
        return std::nullopt;
    TagsResponse tags;
    for (const QJsonValue &model : models.toArray()) {
        const QJsonValue name = model.toObject().value(QLatin1String("name"));
        if (!name.isString())
            return std::nullopt;
        tags.models.append(name.toString());
    }
    return tags;
}

namespace {

qint64 addClamped(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (qAddOverflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return sum;
}

} // namespace

void PullTracker::add(const PullProgress &step)
{
    m_succeeded = m_succeeded || step.status == QLatin1String("success");
    if (!step.digest || !step.total)
        return;
    m_layers.insert(*step.digest, {*step.total, step.completed.value_or(0)});
    m_total = 0;
    m_completed = 0;
    for (const auto &[layerTotal, layerCompleted] : std::as_const(m_layers)) {
        m_total = addClamped(m_total, layerTotal);
        m_completed = addClamped(m_completed, layerCompleted);
    }
}

std::optional<double> PullTracker::fraction() const
{
    if (m_total <= 0)
        return std::nullopt;
    return double(m_completed) / double(m_total);
}
