#pragma once

#include "ChatMessage.h"
#include "ChatTurn.h"

#include <QList>
#include <QObject>

#include <functional>
#include <optional>

/// The content of the conversation file: both transcripts and the text agent's engine history.
struct ConversationSnapshot
{
    QList<ChatMessage> orynMessages;
    QList<ChatMessage> kestrinMessages;
    QList<ChatTurn> orynHistory;

    bool isEmpty() const { return orynMessages.isEmpty() && kestrinMessages.isEmpty() && orynHistory.isEmpty(); }
};

/// The conversation file, "conversations.json" in the support folder: one compact JSON object
/// {"orynMessages": [...], "kestrinMessages": [...], "orynHistory": [...]}.
///
/// All file work runs on one background worker, one job at a time in the order requested, so a
/// load sees every save requested before it and the file ends up holding the last snapshot
/// saved. Writes replace the file atomically (mode 0600); every failure is silent.
namespace ConversationStore {

/// Reads the file now, on the calling thread. A missing, unreadable or malformed file (a missing
/// key, a wrong type, an unknown role) gives the empty snapshot; the file is left in place.
ConversationSnapshot load(const QString &path);
ConversationSnapshot load();

/// Reads the file on the worker and hands the snapshot to @p done on @p context's thread,
/// unless @p context is gone by then.
void loadAsync(QObject *context, std::function<void(ConversationSnapshot)> done);
void loadAsync(QObject *context, std::function<void(ConversationSnapshot)> done, const QString &path);

/// Returns at once; the lists are taken as they are now (copies are cheap: implicitly shared).
/// When saves pile up, the ones overtaken by a later save to the same file are skipped.
void save(const QList<ChatMessage> &orynMessages, const QList<ChatMessage> &kestrinMessages,
          const QList<ChatTurn> &orynHistory);
void save(const ConversationSnapshot &snapshot, const QString &path);

/// Blocks until every requested load and save has finished (at exit, and in tests).
void waitForPendingSaves();

/// Encodes and writes @p snapshot now, on the calling thread. @return false on any failure.
bool writeNow(const ConversationSnapshot &snapshot, const QString &path);

QByteArray encode(const ConversationSnapshot &snapshot);
/// No value when @p bytes are not a well-formed conversation file.
std::optional<ConversationSnapshot> decode(const QByteArray &bytes);

} // namespace ConversationStore
