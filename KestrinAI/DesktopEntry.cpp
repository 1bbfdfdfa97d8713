#include "DesktopEntry.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

constexpr QByteArrayView entryGroup("[Desktop Entry]");

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

std::optional<DesktopEntry> DesktopEntry::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Entries are a few kilobytes; a huge file under the name is not one.
    constexpr qint64 sizeLimit = 1 << 20;
    if (file.size() > sizeLimit)
        return std::nullopt;
    return parse(file.readAll(), path);
}

std::optional<DesktopEntry> DesktopEntry::parse(const QByteArray &bytes, const QString &path)
{
    DesktopEntry entry;
    entry.m_path = path;
    bool inGroup = false;
    bool sawGroup = false;
    // Read as bytes and decode only the values kept: a desktop's entries are mostly lines of
    // translations, and the name search reads every entry.
    const QByteArrayView all(bytes);
    for (qsizetype start = 0, end = 0; start < all.size(); start = end + 1) {
        end = all.indexOf('\n', start);
        if (end < 0)
            end = all.size();
        const QByteArrayView line = all.sliced(start, end - start).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            // Only the main group counts; actions and other groups follow it.
            if (sawGroup && inGroup)
                break;
            inGroup = line == entryGroup;
            sawGroup = sawGroup || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArrayView key = line.first(equals).trimmed();
        // Localised values ("Name[de]") are never used. The first of repeated keys wins.
        if (key.isEmpty() || key.endsWith(']'))
            continue;
        const QString name = QString::fromUtf8(key);
        if (!entry.m_values.contains(name))
            entry.m_values.insert(name, unescape(QString::fromUtf8(line.sliced(equals + 1).trimmed())));
    }
    if (!sawGroup)
        return std::nullopt;
    return entry;
}

bool DesktopEntry::boolean(const QString &key) const
{
    const QString raw = value(key);
    return raw == u"true" || raw == u"1";
}

QString DesktopEntry::unescape(QStringView raw)
{
    QString out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c != u'\\' || i + 1 == raw.size()) {
            out += c;
            continue;
        }
        const QChar next = raw.at(++i);
        switch (next.unicode()) {
        case 's': out += u' '; break;
        case 'n': out += u'\n'; break;
        case 't': out += u'\t'; break;
        case 'r': out += u'\r'; break;
        case '\\': out += u'\\'; break;
        default: // not a string escape: left for the Exec quoting rules
            out += c;
            out += next;
        }
    }
    return out;
}

bool DesktopEntry::tryExecFound() const
{
    const QString tryExec = value(QStringLiteral("TryExec"));
    if (tryExec.isEmpty())
        return true;
    if (tryExec.contains(u'/'))
        return QFileInfo(tryExec).isAbsolute() && isExecutableFile(tryExec);
    return !QStandardPaths::findExecutable(tryExec).isEmpty();
}

std::optional<QStringList> DesktopEntry::splitExec(QStringView exec)
{
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool inQuotes = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (inQuotes) {
            if (c == u'\\' && i + 1 < exec.size() && QStringView(u"\"`$\\").contains(exec.at(i + 1))) {
                current += exec.at(++i);
            } else if (c == u'"') {
                inQuotes = false;
            } else {
                current += c;
            }
        } else if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inArgument)
                arguments.append(std::exchange(current, {}));
            inArgument = false;
        } else if (c == u'"') {
            inQuotes = true;
            inArgument = true; // "" is an argument of its own, empty
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inQuotes)
        return std::nullopt;
    if (inArgument)
        arguments.append(current);
    return arguments;
}

std::optional<QStringList> DesktopEntry::command() const
{
    const std::optional<QStringList> split = splitExec(value(QStringLiteral("Exec")));
    if (!split)
        return std::nullopt;
    QStringList command;
    for (const QString &argument : *split) {
        if (argument == u"%i") {
            const QString icon = value(QStringLiteral("Icon"));
            if (!icon.isEmpty())
                command << QStringLiteral("--icon") << icon;
            continue;
        }
        QString expanded;
        bool hadCode = false;
        for (qsizetype i = 0; i < argument.size(); ++i) {
            if (argument.at(i) != u'%' || i + 1 == argument.size()) {
                expanded += argument.at(i);
                continue;
            }
            const QChar code = argument.at(++i);
            if (code == u'%') {
                expanded += u'%';
                continue;
            }
            hadCode = true;
            if (code == u'c')
                expanded += name();
            else if (code == u'k')
                expanded += m_path;
            // Everything else stands for files or URLs (none are given), a deprecated code,
            // %i inside a longer argument, or an unknown code: all removed.
        }
        // An argument that was only a field code with nothing to give disappears.
        if (hadCode && expanded.isEmpty())
            continue;
        command << expanded;
    }
    if (command.isEmpty() || command.first().isEmpty())
        return std::nullopt;
    return command;
}
