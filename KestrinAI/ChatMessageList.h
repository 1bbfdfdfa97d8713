#pragma once

#include "ChatMessage.h"

#include <QAbstractListModel>
#include <QtQml/qqmlregistration.h>

/// The transcript on screen, as a list model for the views: a streamed reply changes one row's
/// text instead of resetting the whole list.
class ChatMessageList : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The transcript belongs to the chat session")
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum RoleName { idRole = Qt::UserRole + 1, roleRole, textRole, dateRole, isUserRole, startsGroupRole };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return int(m_messages.size()); }
    const QList<ChatMessage> &messages() const { return m_messages; }

    void setMessages(const QList<ChatMessage> &messages);
    void append(const ChatMessage &message);
    /// Searches from the end (the message being streamed is the last); false when none has @p id.
    bool setText(const QUuid &id, const QString &text);

signals:
    void countChanged();

private:
    QList<ChatMessage> m_messages;
};
