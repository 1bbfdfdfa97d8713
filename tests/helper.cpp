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
//   kestrin-test-helper backdrop            a window of one blue (#3366AA) over the whole screen
//                                           of $DISPLAY, under everything, as a desktop would be;
//                                           prints "ready", then "press X Y" for each click

#include "ConversationStore.h"
#include "DebugLog.h"
#include "TaskStore.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QRasterWindow>
#include <QScreen>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <iostream>

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

int backdrop()
{
    struct Backdrop : QRasterWindow
    {
        void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(QRect(QPoint(), size()), QColor(0x33, 0x66, 0xAA)); }
        void mousePressEvent(QMouseEvent *event) override
        {
            const QPoint p = event->globalPosition().toPoint();
            std::cout << "press " << p.x() << ' ' << p.y() << std::endl;
        }
    } window;
    window.setFlag(Qt::FramelessWindowHint);
    window.setGeometry(QGuiApplication::primaryScreen()->geometry());
    window.show();
    QTimer::singleShot(300, [] { std::cout << "ready" << std::endl; });
    return QGuiApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "grab") == 0) {
        qputenv("QT_QPA_PLATFORM", "xcb"); // the display the caller names
        QGuiApplication app(argc, argv);
        return grab(app.arguments().mid(1));
    }
    if (argc > 1 && qstrcmp(argv[1], "backdrop") == 0) {
        qputenv("QT_QPA_PLATFORM", "xcb");
        QGuiApplication app(argc, argv);
        return backdrop();
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("log"))
        return logMessages(args.mid(1));
    if (args.value(0) == QLatin1String("save-loop") && args.size() == 3)
        return saveLoop(args.at(1), args.at(2));
    QTextStream(stderr) << "usage: kestrin-test-helper log MESSAGE... | save-loop PATH DEFAULTS | grab FILE [X Y W H] | backdrop\n";
    return 2;
}
