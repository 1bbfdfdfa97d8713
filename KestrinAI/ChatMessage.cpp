#include "ChatMessage.h"

#include <QTimeZone>

#include <cmath>

namespace {
constexpr auto roleKey = QLatin1String("role");
constexpr auto textKey = QLatin1String("text");
constexpr auto dateKey = QLatin1String("date");
constexpr qint64 referenceEpochSeconds = 978'307'200; // 2001-01-01T00:00:00Z in Unix time
constexpr double plausibleSeconds = 1e11;             // about 3,000 years either way
} // namespace

ChatMessage::ChatMessage(Role role, QString text)
    : m_id(QUuid::createUuid())
    , m_role(role)
    , m_text(std::move(text))
    , m_date(QDateTime::currentDateTimeUtc())
{
}

QString ChatMessage::rawValue(Role role)
{
    return role == Role::user ? QStringLiteral("user") : QStringLiteral("assistant");
}

std::optional<ChatMessage::Role> ChatMessage::roleFromRawValue(QStringView raw)
{
    if (raw == u"user")
        return Role::user;
    if (raw == u"assistant")
        return Role::assistant;
    return std::nullopt;
}

double ChatMessage::referenceSeconds(const QDateTime &date)
{
    return double(date.toMSecsSinceEpoch()) / 1000.0 - double(referenceEpochSeconds);
}

std::optional<QDateTime> ChatMessage::fromReferenceSeconds(double seconds)
{
    if (!std::isfinite(seconds) || std::fabs(seconds) > plausibleSeconds)
        return std::nullopt;
    const auto msecs = qint64(std::llround((seconds + double(referenceEpochSeconds)) * 1000.0));
    return QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc());
}

QJsonObject ChatMessage::toJson() const
{
    return {{roleKey, rawValue(m_role)}, {textKey, m_text}, {dateKey, referenceSeconds(m_date)}};
}

std::optional<ChatMessage> ChatMessage::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    const QJsonValue role = object.value(roleKey);
    const QJsonValue text = object.value(textKey);
    if (!role.isString() || !text.isString())
        return std::nullopt;
    const std::optional<Role> parsedRole = roleFromRawValue(role.toString());
    if (!parsedRole)
        return std::nullopt;
    ChatMessage message(*parsedRole, text.toString());
    if (const QJsonValue date = object.value(dateKey); date.isDouble()) {
        if (auto restored = fromReferenceSeconds(date.toDouble()))
            message.m_date = *restored;
    }
    return message;
}
