#include "CommandRouter.h"

#include "AgentModel.h"
#include "AppLauncher.h"
#include "ChatViewModel.h"
#include "ConfirmWindowController.h"
#include "DebugLog.h"
#include "MapPresenter.h"
#include "PanelState.h"
#include "SettingsStore.h"
#include "ShellRunner.h"
#include "TaskListWindowController.h"
#include "TaskStore.h"
#include "UserText.h"

namespace {

/// Blanks and tabs only: a line break is part of what was said.
QString trimmedBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(text.at(begin)))
        ++begin;
    while (end > begin && blank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

CommandRouter::CommandRouter(ChatViewModel *chatVM, PanelState *panelState, MapPresenter *mapWindow,
                             TaskListWindowController *taskList, ConfirmWindowController *confirm, QObject *parent)
    : QObject(parent)
    , m_chatVM(chatVM)
    , m_panelState(panelState)
    , m_mapWindow(mapWindow)
    , m_taskList(taskList)
    , m_confirm(confirm)
{
}

void CommandRouter::handle(WakeWord wake, const QString &command)
{
    DebugLog::log(QStringLiteral("command %1: \"%2\"").arg(wake.rawValue(), command));
    switch (wake.value()) {
    case WakeWord::oryn:
        if (command.isEmpty())
            return;
        m_panelState->peek();
        m_chatVM->sendDirect(command, AgentModel::oryn, false, false, true);
        return;
    case WakeWord::tarvik:
        handleTarvik(command);
        return;
    case WakeWord::kestrin:
        m_panelState->peek();
        m_chatVM->sendDirect(command.isEmpty() ? screenQuestion : command, AgentModel::kestrin, true, false, true);
        return;
    }
}

void CommandRouter::handleTarvik(const QString &text)
{
    const QString lower = text.toLower();
    const QPointer<CommandRouter> self(this);

    // 1. A shell command, its letter case kept.
    const qsizetype runAt = text.indexOf(QLatin1String("run "), 0, Qt::CaseInsensitive);
    if (lower.startsWith(QLatin1String("run ")) && runAt >= 0) {
        if (!SettingsStore::shared()->shellCommandsEnabled()) {
            speak(shellOffReply);
            actionHandled();
            return;
        }
        const QString command = trimmedBlanks(text.mid(runAt + 4));
        if (command.isEmpty())
            return;
        m_confirm->ask(QStringLiteral("Run `%1`?").arg(command), [self, command] {
            if (!self)
                return;
            ShellRunner::run(command, self, [self](const QString &reply) {
                if (self)
                    self->speak(reply);
            });
        });
        actionHandled();
        return;
    }

    // 2. An application.
    if (lower.startsWith(QLatin1String("open "))) {
        const QString name = trimmedBlanks(lower.mid(5));
        if (name.isEmpty())
            return;
        m_confirm->ask(QStringLiteral("Open %1?").arg(UserText::capitalizedWords(name)), [self, name] {
            if (!AppLauncher::launch(name) && self)
                self->speak(QStringLiteral("I couldn't find an app called %1.").arg(name));
        });
        actionHandled();
        return;
    }

    // 3. A place on the globe; the phrase order decides, not the position.
    if (lower.contains(QLatin1String("map"))) {
        QString place;
        bool phraseFound = false;
        for (const QLatin1String phrase : {QLatin1String(" of "), QLatin1String(" for "), QLatin1String(" to "), QLatin1String(" in ")}) {
            const qsizetype at = lower.indexOf(phrase);
            if (at >= 0) {
                place = trimmedBlanks(lower.mid(at + phrase.size()));
                phraseFound = true;
                break;
            }
        }
        if (!phraseFound)
            place = trimmedBlanks(QString(lower).remove(QLatin1String("map")));
        if (place.isEmpty())
            return;
        m_mapWindow->show(place, [self, place](bool found) {
            if (!found && self)
                self->speak(mapNotFoundReply(place));
        });
        actionHandled();
        return;
    }

    // 4. The task list: an add request adds; any mention shows the window.
    if (lower.contains(QLatin1String("task"))) {
        const bool adding = lower.startsWith(QLatin1String("add")) || lower.contains(QLatin1String("add a task"))
            || lower.contains(QLatin1String("add task"));
        if (adding) {
            const QString task = stripTaskPrefix(lower);
            if (!task.isEmpty())
                m_taskList->store()->add(task);
        }
        m_taskList->show();
        actionHandled();
        return;
    }

    // 5. A spoken conversation turn.
    if (text.isEmpty())
        return;
    m_chatVM->sendVoiceOnly(text, ModelCatalog::text);
}

QString CommandRouter::stripTaskPrefix(const QString &text)
{
    for (const QLatin1String prefix : {QLatin1String("add a task to "), QLatin1String("add a task "), QLatin1String("add task to "),
                                       QLatin1String("add task ")}) {
        if (text.startsWith(prefix))
            return trimmedBlanks(text.mid(prefix.size()));
    }
    return trimmedBlanks(text);
}

void CommandRouter::speak(const QString &sentence)
{
    m_chatVM->speech()->speak(sentence);
}

void CommandRouter::actionHandled()
{
    if (onNonChatActionHandled)
        onNonChatActionHandled();
}
