// A child process for tests that need a fresh process (the log opens once per process) or one
// that can be killed at any moment.
//
//   kestrin-test-helper log MESSAGE...      logs each message, then exits 0
//   kestrin-test-helper save-loop PATH DEFAULTS
//                                           saves ever-changing conversations to PATH and task
//                                           lists to the defaults file DEFAULTS until killed;
//                                           prints "ready" once the first saves are on disk
//   kestrin-test-helper grab FILE [X Y W H] saves the screen (or that part of it) of $DISPLAY as
//                                           a PNG; exit 0 when written

#include "ConversationStore.h"
#include "DebugLog.h"
#include "TaskStore.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTextStream>

#include <cstdio>

namespace {

int logMessages(const QStringList &messages)
{
    for (const QString &message : messages)
        DebugLog::log(message);
    return 0;
}

// Every message of snapshot n carries n, so a reader can tell whether it saw one whole snapshot.
ConversationSnapshot snapshotNumber(int n)
{
    ConversationSnapshot snapshot;
    const int count = 1 + (n * 37) % 400; // sizes vary, so writes take varying time
    for (int i = 0; i < count; ++i) {
        const QString text = QStringLiteral("snapshot %1 message %2 %3").arg(n).arg(i).arg(QString(i % 50, u'x'));
        snapshot.orynMessages.append(ChatMessage(ChatMessage::Role::user, text));
        snapshot.kestrinMessages.append(ChatMessage(ChatMessage::Role::assistant, text));
        snapshot.orynHistory.append(ChatTurn{QStringLiteral("user"), text, std::nullopt});
    }
    return snapshot;
}

int saveLoop(const QString &path, const QString &defaultsPath)
{
    UserDefaults defaults(defaultsPath);
    TaskStore tasks(defaults);
    for (int n = 1;; ++n) {
        ConversationStore::save(snapshotNumber(n), path);
        tasks.add(QStringLiteral("task %1").arg(n)); // written at once, on this thread
        if (tasks.count() > 40)
            tasks.remove(tasks.tasks().last());
        if (n % 3 == 0)
            ConversationStore::waitForPendingSaves();
        if (n == 3) {
            std::puts("ready");
            std::fflush(stdout);
        }
    }
}

int grab(const QStringList &args)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 1;
    const QPixmap shot = args.size() == 6
        ? screen->grabWindow(0, args[2].toInt(), args[3].toInt(), args[4].toInt(), args[5].toInt())
        : screen->grabWindow(0);
    return shot.save(args.value(1), "PNG") ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "grab") == 0) {
        qputenv("QT_QPA_PLATFORM", "xcb"); // the display the caller names
        QGuiApplication app(argc, argv);
        return grab(app.arguments().mid(1));
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("log"))
        return logMessages(args.mid(1));
    if (args.value(0) == QLatin1String("save-loop") && args.size() == 3)
        return saveLoop(args.at(1), args.at(2));
    QTextStream(stderr) << "usage: kestrin-test-helper log MESSAGE... | save-loop PATH DEFAULTS | grab FILE [X Y W H]\n";
    return 2;
}
