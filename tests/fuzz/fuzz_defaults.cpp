// The defaults file: each entry reads back with its type (text, boolean, number, data) or is
// skipped alone; after any write the file holds the same values again.

#include "FuzzSupport.h"
#include "UserDefaults.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cmath>

namespace {

QString path()
{
    static const QString file = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/defaults.json");
    return file;
}

void write(const QByteArray &bytes)
{
    QFile file(path());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        Fuzz::fail("cannot write the scratch file");
}

bool sameValue(const std::optional<UserDefaults::Value> &a, const std::optional<UserDefaults::Value> &b)
{
    if (a.has_value() != b.has_value())
        return false;
    if (!a)
        return true;
    if (a->index() != b->index())
        return false;
    if (const QString *text = std::get_if<QString>(&*a))
        return QString::fromUtf8(text->toUtf8()) == std::get<QString>(*b); // stored as UTF-8
    return *a == *b;
}

} // namespace

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QFile::remove(path() + QStringLiteral(".corrupt"));
    write(bytes);
    QStringList keys = QJsonDocument::fromJson(bytes).object().keys();
    // A key with a lone surrogate (escaped as "\ud800") is stored as U+FFFD: a different key. The program's
    // keys are its own ASCII names.
    keys.removeIf([](const QString &key) { return QString::fromUtf8(key.toUtf8()) != key; });

    UserDefaults first(path());
    QList<std::optional<UserDefaults::Value>> values;
    for (const QString &key : keys) {
        const std::optional<UserDefaults::Value> value = first.value(key);
        if (value) {
            if (const double *number = std::get_if<double>(&*value))
                Fuzz::check(std::isfinite(*number), "a stored number is finite");
            Fuzz::check(first.text(key).has_value() + first.boolean(key).has_value() + first.number(key).has_value()
                                + first.data(key).has_value() == 1,
                        "a value has exactly one type");
        }
        values.append(value);
    }
    // Any change rewrites the whole file; a new store then reads every value again.
    const QString extra = QStringLiteral("\x01 fuzz extra");
    Fuzz::check(first.set(extra, QByteArray("\x00\xff", 2)), "the file can be written");
    UserDefaults second(path());
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (keys[i] == extra)
            continue;
        Fuzz::check(sameValue(values[i], second.value(keys[i])), "a value survives a rewrite with its type");
    }
    Fuzz::check(second.data(extra) == QByteArray("\x00\xff", 2), "the new value is stored");
    return 0;
}
