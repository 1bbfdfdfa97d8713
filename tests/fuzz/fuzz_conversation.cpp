// The conversation file: whatever decodes must encode to a file that decodes to the same
// transcripts and history (the writer is our own, the reader Qt's).

#include "ConversationStore.h"
#include "FuzzSupport.h"

namespace {

// The writer stores UTF-8, where a lone surrogate can only become U+FFFD.
QString stored(const QString &text)
{
    return QString::fromUtf8(text.toUtf8());
}

bool sameMessages(const QList<ChatMessage> &a, const QList<ChatMessage> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].role() != b[i].role() || stored(a[i].text()) != b[i].text() || a[i].date() != b[i].date())
            return false;
    }
    return true;
}

bool sameTurns(const QList<ChatTurn> &a, const QList<ChatTurn> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (stored(a[i].role) != b[i].role || stored(a[i].content) != b[i].content
            || a[i].imageBase64.has_value() != b[i].imageBase64.has_value()
            || (a[i].imageBase64 && stored(*a[i].imageBase64) != *b[i].imageBase64))
            return false;
    }
    return true;
}

} // namespace

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<ConversationSnapshot> first = ConversationStore::decode(bytes);
    if (!first)
        return 0;
    const QByteArray encoded = ConversationStore::encode(*first);
    const std::optional<ConversationSnapshot> second = ConversationStore::decode(encoded);
    Fuzz::check(second.has_value(), "what we write reads back");
    Fuzz::check(sameMessages(first->orynMessages, second->orynMessages), "Oryn's transcript survives a save");
    Fuzz::check(sameMessages(first->kestrinMessages, second->kestrinMessages), "Kestrin's transcript survives a save");
    Fuzz::check(sameTurns(first->orynHistory, second->orynHistory), "the history survives a save");
    Fuzz::check(ConversationStore::encode(*second) == encoded, "a second save writes the same bytes");
    return 0;
}
