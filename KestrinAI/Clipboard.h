#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

/// The system clipboard for QML (`Clipboard.setText(text)`): the code blocks' "Copy" button and
/// the panel's "Copy" menu. Only text is ever put there.
class Clipboard : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    /// Replaces the clipboard's content with @p text.
    Q_INVOKABLE void setText(const QString &text) const;
};
