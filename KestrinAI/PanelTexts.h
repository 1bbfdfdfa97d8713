#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include "SetupModel.h"

/// The panel's words that depend on its state (the agent, the engine): kept here rather than in
/// the views so the views only show them.
class PanelTexts : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QString wakeHint READ wakeHint CONSTANT)

public:
    using QObject::QObject;

    static QString wakeHint();
    /// The status line under the chat.
    static QString statusLabel(SetupModel::OllamaState ollama, bool textInstalled);
    Q_INVOKABLE static QString statusLabel(int ollama, bool textInstalled)
    {
        return statusLabel(SetupModel::OllamaState(ollama), textInstalled);
    }
    /// The typing row's label while a reply is awaited.
    Q_INVOKABLE static QString typingLabel(const QString &agentId, bool attachScreen);
    Q_INVOKABLE static QString emptyTitle(const QString &agentId);
    Q_INVOKABLE static QString emptySubtitle(const QString &agentId);
    /// The empty transcript's three suggestions: maps of "symbol" and "text".
    Q_INVOKABLE static QVariantList suggestions(const QString &agentId);
};
