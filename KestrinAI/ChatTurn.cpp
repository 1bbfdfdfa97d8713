#include "ChatTurn.h"

namespace {
constexpr auto roleKey = QLatin1String("role");
constexpr auto contentKey = QLatin1String("content");
constexpr auto imageKey = QLatin1String("imageBase64");
} // namespace

QJsonObject ChatTurn::toJson() const
{
    QJsonObject object{{roleKey, role}, {contentKey, content}};
    if (imageBase64)
        object.insert(imageKey, *imageBase64);
    return object;
}

std::optional<ChatTurn> ChatTurn::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    const QJsonValue role = object.value(roleKey);
    const QJsonValue content = object.value(contentKey);
    const QJsonValue image = object.value(imageKey);
    if (!role.isString() || !content.isString())
        return std::nullopt;
    ChatTurn turn{role.toString(), content.toString(), std::nullopt};
    if (image.isString())
        turn.imageBase64 = image.toString();
    else if (!image.isUndefined() && !image.isNull())
        return std::nullopt;
    return turn;
}
