#include "TaskStore.h"

#include "DebugLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTextBoundaryFinder>

namespace {

/// The first user-perceived character upper-cased (which may make it longer: "ß" gives "SS"),
/// the rest unchanged.
QString withCapitalFirst(const QString &text)
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    const qsizetype end = graphemes.toNextBoundary();
    if (end <= 0)
        return text;
    return text.left(end).toUpper() + text.mid(end);
}

} // namespace

TaskStore::TaskStore(QObject *parent)
    : TaskStore(UserDefaults::standard(), parent)
{
}

TaskStore::TaskStore(UserDefaults &defaults, QObject *parent)
    : QAbstractListModel(parent)
    , m_defaults(defaults)
{
    load();
}

void TaskStore::load()
{
    const std::optional<UserDefaults::Value> stored = m_defaults.value(QLatin1String(key));
    if (!stored)
        return;
    const auto *bytes = std::get_if<QByteArray>(&*stored);
    std::optional<QList<OrynTask>> decoded = bytes ? decode(*bytes) : std::nullopt;
    if (!decoded) {
        m_unreadable = *stored;
        DebugLog::log(QStringLiteral("TaskStore: the stored task list could not be read; starting empty"));
        return;
    }
    m_tasks = std::move(*decoded);
    // Written back at once, in today's form.
    persist();
}

void TaskStore::persist()
{
    if (m_unreadable) {
        m_defaults.set(QLatin1String(unreadableKey), *m_unreadable);
        DebugLog::log(QStringLiteral("TaskStore: the unreadable task list was kept under %1")
                          .arg(QLatin1String(unreadableKey)));
        m_unreadable.reset();
    }
    if (!m_defaults.set(QLatin1String(key), encode(m_tasks)))
        DebugLog::log(QStringLiteral("TaskStore: the task list could not be written"));
}

int TaskStore::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant TaskStore::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const OrynTask &task = m_tasks.at(index.row());
    switch (role) {
    case taskRole:
        return QVariant::fromValue(task);
    case taskIdRole:
        return OrynTask::uuidString(task.id());
    case Qt::DisplayRole:
    case textRole:
        return task.text();
    case doneRole:
        return task.done();
    default:
        return {};
    }
}

QHash<int, QByteArray> TaskStore::roleNames() const
{
    return {{taskRole, "task"}, {taskIdRole, "taskId"}, {textRole, "text"}, {doneRole, "done"}};
}

void TaskStore::add(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return;
    beginInsertRows({}, 0, 0);
    m_tasks.prepend(OrynTask(withCapitalFirst(trimmed)));
    endInsertRows();
    persist();
    emit countChanged();
    emit tasksChanged();
}

void TaskStore::toggle(const OrynTask &task)
{
    const auto it = std::find_if(m_tasks.begin(), m_tasks.end(),
                                 [&](const OrynTask &stored) { return stored.id() == task.id(); });
    if (it == m_tasks.end())
        return;
    it->setDone(!it->done());
    const QModelIndex changed = index(int(it - m_tasks.begin()));
    emit dataChanged(changed, changed, {taskRole, doneRole});
    persist();
    emit tasksChanged();
}

void TaskStore::remove(const OrynTask &task)
{
    bool removed = false;
    for (int row = count() - 1; row >= 0; --row) {
        if (m_tasks.at(row).id() != task.id())
            continue;
        beginRemoveRows({}, row, row);
        m_tasks.removeAt(row);
        endRemoveRows();
        removed = true;
    }
    persist();
    if (removed) {
        emit countChanged();
        emit tasksChanged();
    }
}

QByteArray TaskStore::encode(const QList<OrynTask> &tasks)
{
    QJsonArray array;
    for (const OrynTask &task : tasks)
        array.append(task.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<OrynTask>> TaskStore::decode(const QByteArray &json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QList<OrynTask> tasks;
    const QJsonArray array = document.array();
    tasks.reserve(array.size());
    for (const QJsonValue &value : array) {
        std::optional<OrynTask> task = OrynTask::fromJson(value);
        if (!task)
            return std::nullopt;
        tasks.append(std::move(*task));
    }
    return tasks;
}
