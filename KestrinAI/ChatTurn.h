#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

/// One turn of a conversation as the engine sees it; the element of every engine history and of
/// the saved text-agent history. The engine client adds the "system" turn itself.
struct ChatTurn
{
    QString role;    // "user" or "assistant" in stored histories
    QString content;
    std::optional<QString> imageBase64; // a screenshot belonging to this turn

    /// The stored form: "role" and "content" always, "imageBase64" only when present.
    QJsonObject toJson() const;
    /// Reads the stored form: "role" and "content" must be strings; "imageBase64" may be
    /// missing or null, otherwise it must be a string.
    static std::optional<ChatTurn> fromJson(const QJsonValue &json);

    friend bool operator==(const ChatTurn &, const ChatTurn &) = default;
};
