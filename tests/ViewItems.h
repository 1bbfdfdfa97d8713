#pragma once

// Finding items of a view under test by objectName. Delegates have no QObject parent, so the
// search walks the visual tree.

#include <QString>
#include <QList>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>

namespace ViewItems {

/// The items under @p root called @p name, in tree order.
inline QList<QQuickItem *> named(QQuickItem *root, const QString &name)
{
    QList<QQuickItem *> items;
    for (QQuickItem *child : root->childItems()) {
        if (child->objectName() == name)
            items << child;
        items << named(child, name);
    }
    return items;
}

/// @p root itself or the first item under it called @p name; nullptr when there is none.
inline QQuickItem *find(QQuickItem *root, const QString &name)
{
    if (!root || root->objectName() == name)
        return root;
    return named(root, name).value(0);
}

/// The visible ones.
inline QList<QQuickItem *> shown(QQuickItem *root, const QString &name)
{
    QList<QQuickItem *> items = named(root, name);
    items.removeIf([](QQuickItem *item) { return !item->isVisible(); });
    return items;
}

/// How many visible top-level windows show a view whose root is called @p rootName.
inline int windowsShowing(const QString &rootName)
{
    int count = 0;
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        auto *view = qobject_cast<QQuickView *>(window);
        count += view && view->isVisible() && view->rootObject() && view->rootObject()->objectName() == rootName;
    }
    return count;
}

} // namespace ViewItems
