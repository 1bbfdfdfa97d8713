#pragma once

#include "WakeWord.h"

#include <QObject>
#include <QPointer>

#include <functional>

class ChatViewModel;
class ConfirmWindowController;
class MapPresenter;
class PanelState;
class TaskListWindowController;

/// Where a request after a wake word goes: Oryn and Kestrin get it as a chat message; for
/// Tarvik a fixed grammar picks an action (a shell command, opening an application, a place on
/// the globe, the task list) or, failing all, a spoken conversation turn. Stateless; it never
/// waits, and every spoken reply goes through the chat session's speech.
///
/// Thread: main.
class CommandRouter : public QObject
{
    Q_OBJECT

public:
    static inline const QString screenQuestion = QStringLiteral("What is on my screen right now?");
    static inline const QString shellOffReply = QStringLiteral("Shell commands are turned off in settings.");
    static QString mapNotFoundReply(const QString &place) { return QStringLiteral("I couldn't find %1 on the map.").arg(place); }

    /// The collaborators are shared and must outlive the router.
    CommandRouter(ChatViewModel *chatVM, PanelState *panelState, MapPresenter *mapWindow,
                  TaskListWindowController *taskList, ConfirmWindowController *confirm, QObject *parent = nullptr);

    void handle(WakeWord wake, const QString &command);

    /// Called after a request was handled as an action rather than a conversation.
    std::function<void()> onNonChatActionHandled;

    /// The task text of an "add task" request: the first of the known prefixes removed.
    static QString stripTaskPrefix(const QString &text);

private:
    void handleTarvik(const QString &text);
    void speak(const QString &sentence);
    void actionHandled();

    ChatViewModel *m_chatVM;
    PanelState *m_panelState;
    MapPresenter *m_mapWindow;
    TaskListWindowController *m_taskList;
    ConfirmWindowController *m_confirm;
};
