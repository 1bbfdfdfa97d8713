#include "OrynTask.h"

namespace {
constexpr auto idKey = QLatin1String("id");
constexpr auto textKey = QLatin1String("text");
constexpr auto doneKey = QLatin1String("done");
} // namespace

OrynTask::OrynTask(QString text, bool done)
    : OrynTask(QUuid::createUuid(), std::move(text), done)
{
}

OrynTask::OrynTask(QUuid id, QString text, bool done)
    : m_id(id)
    , m_text(std::move(text))
    , m_done(done)
{
}

QString OrynTask::uuidString(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QUuid> OrynTask::uuidFromString(QStringView text)
{
    constexpr qsizetype length = 36;
    if (text.size() != length)
        return std::nullopt;
    for (qsizetype i = 0; i < length; ++i) {
        const char16_t c = text.at(i).unicode();
        const bool dashPlace = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (dashPlace ? c != u'-' : !hex)
            return std::nullopt;
    }
    return QUuid::fromString(text);
}

QJsonObject OrynTask::toJson() const
{
    return {{idKey, uuidString(m_id)}, {textKey, m_text}, {doneKey, m_done}};
}

std::optional<OrynTask> OrynTask::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    const QJsonValue id = object.value(idKey);
    const QJsonValue text = object.value(textKey);
    const QJsonValue done = object.value(doneKey);
    if (!id.isString() || !text.isString() || !done.isBool())
        return std::nullopt;
    const std::optional<QUuid> uuid = uuidFromString(id.toString());
    if (!uuid)
        return std::nullopt;
    return OrynTask(*uuid, text.toString(), done.toBool());
}
