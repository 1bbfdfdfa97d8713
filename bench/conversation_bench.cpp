// Saving and reloading a long conversation: what the main thread pays per save, and what the
// background write costs. Run with `make bench`.

#include "ConversationStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <functional>

namespace {

constexpr int messageCount = 10'000;

ConversationSnapshot longConversation()
{
    ConversationSnapshot snapshot;
    const QString question = QStringLiteral("How do I find which process holds port %1 open, and can I stop it safely?");
    const QString answer = QStringLiteral(
        "Run `ss -ltnp` and look for :%1. The last column names the process and its pid. "
        "**Before you kill it**, check what it is: `ps -o pid,cmd -p <pid>`. A database or a "
        "sync daemon should be stopped through its service (`systemctl --user stop ...`), not "
        "with kill -9, or it may leave a lock behind.");
    for (int i = 0; i < messageCount; ++i) {
        const bool isUser = i % 2 == 0;
        const QString text = (isUser ? question : answer).arg(1000 + i);
        snapshot.orynMessages.append(ChatMessage(isUser ? ChatMessage::Role::user : ChatMessage::Role::assistant, text));
        snapshot.orynHistory.append(ChatTurn{isUser ? QStringLiteral("user") : QStringLiteral("assistant"), text, std::nullopt});
    }
    return snapshot;
}

struct Stats
{
    double median = 0;
    double worst = 0;
};

Stats measure(int runs, const std::function<void()> &work)
{
    QList<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        work();
        ms.append(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms.at(ms.size() / 2), ms.last()};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("conversations.json"));
    const ConversationSnapshot snapshot = longConversation();

    // Main thread: save() returns at once; a run of calls measures each one.
    const Stats call = measure(200, [&] { ConversationStore::save(snapshot, path); });
    ConversationStore::waitForPendingSaves();

    // Background: the worker's whole job (encode and atomic replace), and its encoding part.
    const Stats encode = measure(20, [&] { ConversationStore::encode(snapshot); });
    const Stats write = measure(20, [&] { ConversationStore::writeNow(snapshot, path); });
    const Stats endToEnd = measure(20, [&] {
        ConversationStore::save(snapshot, path);
        ConversationStore::waitForPendingSaves();
    });
    qsizetype loadedCount = 0;
    const Stats load = measure(20, [&] { loadedCount = ConversationStore::load(path).orynMessages.size(); });

    const double fileMb = double(QFileInfo(path).size()) / 1e6;
    out << "Conversation of " << messageCount << " messages and " << snapshot.orynHistory.size()
        << " history turns (" << QString::number(fileMb, 'f', 1) << " MB on disk, " << loadedCount << " reloaded)\n\n";
    out << qSetFieldWidth(44) << Qt::left << "measure" << qSetFieldWidth(12) << Qt::right << "median ms" << "worst ms"
        << qSetFieldWidth(0) << "   median / target\n";
    auto row = [&](const char *name, Stats s, double target) {
        out << qSetFieldWidth(44) << Qt::left << name << qSetFieldWidth(12) << Qt::right
            << QString::number(s.median, 'f', 4) << QString::number(s.worst, 'f', 4) << qSetFieldWidth(0);
        if (target > 0)
            out << "   " << QString::number(s.median / target, 'f', 4) << " of " << target << " ms";
        out << '\n';
    };
    row("main thread per save() call", call, 1.0);
    row("background write (encode + atomic replace)", write, 30.0);
    row("  of which encoding", encode, 0);
    row("save() until the file is replaced", endToEnd, 0);
    row("reload (read + decode)", load, 0);
    return 0;
}
