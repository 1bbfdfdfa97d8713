#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

#include <optional>

/// One entry of the task list. The id never changes and is new for every task made; the text
/// and the tick may change.
class OrynTask
{
    Q_GADGET
    QML_VALUE_TYPE(orynTask)
    Q_PROPERTY(QUuid id READ id CONSTANT)
    Q_PROPERTY(QString text READ text CONSTANT)
    Q_PROPERTY(bool done READ done CONSTANT)

public:
    /// An empty open task with a new id (QML and containers need it).
    OrynTask() : OrynTask(QString()) {}
    /// A task with a new id.
    explicit OrynTask(QString text, bool done = false);

    QUuid id() const { return m_id; }
    QString text() const { return m_text; }
    void setText(const QString &text) { m_text = text; }
    bool done() const { return m_done; }
    void setDone(bool done) { m_done = done; }

    /// The stored form: exactly {"id", "text", "done"}, the id as uuidString().
    QJsonObject toJson() const;
    /// Reads the stored form: all three keys with their types are required (other keys are
    /// ignored); the id in the 8-4-4-4-12 form, either letter case.
    static std::optional<OrynTask> fromJson(const QJsonValue &json);

    /// The canonical text of a UUID: upper-case hexadecimal, 8-4-4-4-12, no braces.
    static QString uuidString(const QUuid &id);
    /// Parses exactly the 8-4-4-4-12 form (braces and other forms are refused).
    static std::optional<QUuid> uuidFromString(QStringView text);

    friend bool operator==(const OrynTask &, const OrynTask &) = default;

private:
    OrynTask(QUuid id, QString text, bool done);

    QUuid m_id;
    QString m_text;
    bool m_done = false;
};
