#pragma once

#include "OrynTask.h"
#include "UserDefaults.h"

#include <QAbstractListModel>
#include <QList>
#include <QtQml/qqmlregistration.h>

#include <optional>

/// The persistent task list, newest first. Tasks are added by voice (the command router calls
/// add()) or typed into the task window; they are ticked and deleted in the task window. The
/// list is read once at creation and written back whole, as one compact JSON array, after
/// every change. Main thread only.
///
/// As a list model each row has the roles "task" (the OrynTask, to hand back to toggle() and
/// remove()), "taskId" (its id as text), "text" and "done".
///
/// A stored document that cannot be read (not JSON, not an array, an entry missing a key or
/// with a key of the wrong type, or a value that is not data) leaves the list empty and is left
/// as it is. The first change would replace it; before that it is copied under
/// unreadableKey, so the user's tasks are never lost without a trace.
class TaskStore : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The task list belongs to the task window")
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum RoleName { taskRole = Qt::UserRole + 1, taskIdRole, textRole, doneRole };

    /// The defaults key of the list.
    static constexpr auto key = "oryn.tasks";
    /// Where a stored list that could not be read is kept when the list is next written.
    static constexpr auto unreadableKey = "oryn.tasks.unreadable";

    /// The program's list, in UserDefaults::standard().
    explicit TaskStore(QObject *parent = nullptr);
    /// A list in @p defaults, which must outlive the store.
    explicit TaskStore(UserDefaults &defaults, QObject *parent = nullptr);

    const QList<OrynTask> &tasks() const { return m_tasks; }
    int count() const { return int(m_tasks.size()); }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    /// Adds @p text, trimmed and with its first character upper-cased, at the top. Blank text
    /// is ignored and nothing is written.
    Q_INVOKABLE void add(const QString &text);
    /// Flips the tick of the first stored task with @p task's id, in place. A task no longer
    /// stored is ignored and nothing is written.
    Q_INVOKABLE void toggle(const OrynTask &task);
    /// Deletes every stored task with @p task's id; the list is written even when none had it.
    Q_INVOKABLE void remove(const OrynTask &task);

    /// The stored form: a compact JSON array of OrynTask::toJson().
    static QByteArray encode(const QList<OrynTask> &tasks);
    /// Reads the stored form as a whole: one bad entry fails it all.
    static std::optional<QList<OrynTask>> decode(const QByteArray &json);

signals:
    /// After every change of the list.
    void tasksChanged();
    void countChanged();

private:
    void load();
    void persist();

    UserDefaults &m_defaults;
    QList<OrynTask> m_tasks;
    std::optional<UserDefaults::Value> m_unreadable; // what was stored, until it is set aside
};
