#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

#include <optional>

/// One entry of a transcript. Only the text changes after creation (a streamed reply grows in
/// place); the id identifies the message meanwhile and is new for every message made, also for
/// one read back from the conversation file.
class ChatMessage
{
    Q_GADGET
    QML_VALUE_TYPE(chatMessage)
    Q_PROPERTY(QUuid id READ id CONSTANT)
    Q_PROPERTY(Role role READ role CONSTANT)
    Q_PROPERTY(QString text READ text CONSTANT)
    Q_PROPERTY(QDateTime date READ date CONSTANT)

public:
    enum class Role { user, assistant };
    Q_ENUM(Role)

    ChatMessage() = default;
    /// A new message with a new id, created now.
    ChatMessage(Role role, QString text);

    QUuid id() const { return m_id; }
    Role role() const { return m_role; }
    QString text() const { return m_text; }
    void setText(const QString &text) { m_text = text; }
    QDateTime date() const { return m_date; }

    static QString rawValue(Role role);
    static std::optional<Role> roleFromRawValue(QStringView raw);

    /// The stored form: {"role", "text", "date"}, the date in seconds since 2001-01-01 UTC.
    QJsonObject toJson() const;
    /// Reads the stored form. "role" (one of the two raw values) and "text" are required; the
    /// date is restored when it is a plausible number, otherwise the message is dated now.
    static std::optional<ChatMessage> fromJson(const QJsonValue &json);

    /// Seconds since 2001-01-01 00:00:00 UTC, the stored form of dates.
    static double referenceSeconds(const QDateTime &date);
    static std::optional<QDateTime> fromReferenceSeconds(double seconds);

private:
    QUuid m_id;
    Role m_role = Role::user;
    QString m_text;
    QDateTime m_date;
};
