#include "ChatMessageList.h"

int ChatMessageList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant ChatMessageList::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const ChatMessage &message = m_messages.at(index.row());
    switch (role) {
    case idRole:
        return message.id();
    case roleRole:
        return ChatMessage::rawValue(message.role());
    case Qt::DisplayRole:
    case textRole:
        return message.text();
    case dateRole:
        return message.date();
    case isUserRole:
        return message.role() == ChatMessage::Role::user;
    case startsGroupRole:
        // Rows are only appended or all replaced, so a row's group never changes once shown.
        return index.row() == 0 || m_messages.at(index.row() - 1).role() != message.role();
    default:
        return {};
    }
}

QHash<int, QByteArray> ChatMessageList::roleNames() const
{
    return {{idRole, "messageId"}, {roleRole, "role"}, {textRole, "text"}, {dateRole, "date"}, {isUserRole, "isUser"},
            {startsGroupRole, "startsGroup"}};
}

void ChatMessageList::setMessages(const QList<ChatMessage> &messages)
{
    const bool countChanges = messages.size() != m_messages.size();
    beginResetModel();
    m_messages = messages;
    endResetModel();
    if (countChanges)
        emit countChanged();
}

void ChatMessageList::append(const ChatMessage &message)
{
    beginInsertRows({}, count(), count());
    m_messages.append(message);
    endInsertRows();
    emit countChanged();
}

bool ChatMessageList::setText(const QUuid &id, const QString &text)
{
    for (qsizetype row = m_messages.size() - 1; row >= 0; --row) {
        if (m_messages.at(row).id() != id)
            continue;
        m_messages[row].setText(text);
        const QModelIndex changed = index(int(row));
        emit dataChanged(changed, changed, {textRole, Qt::DisplayRole});
        return true;
    }
    return false;
}
