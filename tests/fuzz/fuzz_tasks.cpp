// The stored task list: whatever decodes must encode to a list that decodes to the same tasks,
// ids included.

#include "FuzzSupport.h"
#include "OrynTask.h"
#include "TaskStore.h"

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<QList<OrynTask>> first = TaskStore::decode(bytes);
    if (first) {
        const QByteArray encoded = TaskStore::encode(*first);
        const std::optional<QList<OrynTask>> second = TaskStore::decode(encoded);
        Fuzz::check(second.has_value(), "what we write reads back");
        Fuzz::check(second->size() == first->size(), "every task reads back");
        for (qsizetype i = 0; i < first->size(); ++i) {
            const OrynTask &a = first->at(i), &b = second->at(i);
            Fuzz::check(a.id() == b.id() && a.done() == b.done(), "a task keeps its id and tick");
            Fuzz::check(QString::fromUtf8(a.text().toUtf8()) == b.text(), "a task keeps its text");
        }
    }
    // The id form on its own, as text of any code units.
    for (const QString &text : {Fuzz::utf8(QByteArrayView(bytes)), Fuzz::utf16(QByteArrayView(bytes))}) {
        if (const std::optional<QUuid> id = OrynTask::uuidFromString(text)) {
            Fuzz::check(OrynTask::uuidString(*id).compare(text, Qt::CaseInsensitive) == 0, "an id reads as written");
            Fuzz::check(OrynTask::uuidFromString(OrynTask::uuidString(*id)) == id, "an id survives a save");
        }
    }
    return 0;
}
