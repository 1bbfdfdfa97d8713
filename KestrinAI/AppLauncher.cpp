#include "AppLauncher.h"

#include "DebugLog.h"
#include "DesktopEntry.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

namespace {

constexpr auto desktopSuffix = QLatin1String(".desktop");

/// Every blank-separated word with its first letter upper-cased and the others lower-cased.
QString capitalised(const QString &name)
{
    QString out;
    out.reserve(name.size());
    bool wordStart = true;
    for (const QChar c : name) {
        if (c.isSpace()) {
            out += c;
            wordStart = true;
            continue;
        }
        out += wordStart ? c.toUpper() : c.toLower();
        wordStart = false;
    }
    return out;
}

/// Absolute folders of a colon-separated XDG list; relative ones are ignored, as the XDG rules say.
QStringList absoluteFolders(const QString &list)
{
    QStringList folders;
    for (const QString &folder : list.split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(folder))
            folders << QDir::cleanPath(folder);
    }
    return folders;
}

QString applicationsIn(const QString &dataFolder)
{
    return dataFolder + QStringLiteral("/applications");
}

/// The file of @p id under @p folder: "a-b-c.desktop" may be "a-b-c.desktop", "a/b-c.desktop",
/// "a-b/c.desktop" or "a/b/c.desktop". Each step consumes part of the ID, so this ends.
QString resolveIn(const QString &folder, const QString &id)
{
    const QString direct = folder + u'/' + id;
    if (QFileInfo(direct).isFile())
        return direct;
    for (qsizetype dash = id.indexOf(u'-'); dash > 0; dash = id.indexOf(u'-', dash + 1)) {
        const QString prefix = id.left(dash);
        // "." and ".." would lead out of the applications folder.
        if (prefix == u"." || prefix == u"..")
            continue;
        const QString sub = folder + u'/' + prefix;
        if (!QFileInfo(sub).isDir())
            continue;
        if (QString found = resolveIn(sub, id.mid(dash + 1)); !found.isEmpty())
            return found;
    }
    return {};
}

/// A desktop-file ID is a file name: nothing that could name another folder.
bool isPlainId(const QString &id)
{
    return id.endsWith(desktopSuffix) && id.size() > desktopSuffix.size() && !id.contains(u'/')
        && !id.contains(QChar(0));
}

QString executablePath(const QString &program)
{
    if (program.contains(u'/')) {
        const QFileInfo info(program);
        return info.isAbsolute() && info.isFile() && info.isExecutable() ? program : QString();
    }
    return QStandardPaths::findExecutable(program);
}

bool canOpen(const DesktopEntry &entry)
{
    return entry.isApplication() && !entry.isHidden() && entry.tryExecFound()
        && !AppLauncher::launchCommand(entry).isEmpty();
}

/// The entry of @p id when it can be opened, else an empty text. A Hidden copy earlier in
/// precedence hides the ID: there is no falling back to a later one.
QString openableById(const QString &id)
{
    if (!isPlainId(id))
        return {};
    const QString path = AppLauncher::findDesktopFile(id);
    if (path.isEmpty())
        return {};
    const std::optional<DesktopEntry> entry = DesktopEntry::read(path);
    return entry && canOpen(*entry) ? path : QString();
}

QString searchByName(const QString &name)
{
    const QString needle = name.toLower();
    QSet<QString> seenIds;
    for (const QString &folder : AppLauncher::searchFolders()) {
        const QStringList files = QDir(folder).entryList({QStringLiteral("*.desktop")},
                                                         QDir::Files | QDir::CaseSensitive, QDir::Name);
        for (const QString &id : files) {
            // The same ID in a later folder is the same application, already looked at.
            if (seenIds.contains(id))
                continue;
            seenIds.insert(id);
            // The user's copy, if any, stands for the system's.
            const QString path = AppLauncher::findDesktopFile(id);
            const std::optional<DesktopEntry> entry = DesktopEntry::read(path);
            if (!entry || entry->noDisplay() || !entry->name().toLower().contains(needle))
                continue;
            // Looking for programs in PATH costs most: only for entries whose name fits.
            if (canOpen(*entry))
                return path;
        }
    }
    return {};
}

} // namespace

namespace AppLauncher {

QStringList searchFolders()
{
    QStringList data = absoluteFolders(qEnvironmentVariable("XDG_DATA_DIRS"));
    if (data.isEmpty())
        data = {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")};
    QStringList folders;
    for (const QString &folder : std::as_const(data)) {
        const QString applications = applicationsIn(folder);
        if (!folders.contains(applications))
            folders << applications;
    }
    return folders;
}

QStringList idFolders()
{
    QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (!QDir::isAbsolutePath(home))
        home = QDir::homePath() + QStringLiteral("/.local/share");
    QStringList folders{applicationsIn(QDir::cleanPath(home))};
    for (const QString &folder : searchFolders()) {
        if (!folders.contains(folder))
            folders << folder;
    }
    return folders;
}

QString findDesktopFile(const QString &id)
{
    if (!isPlainId(id))
        return {};
    for (const QString &folder : idFolders()) {
        if (QString path = resolveIn(folder, id); !path.isEmpty())
            return path;
    }
    return {};
}

QStringList launchCommand(const DesktopEntry &entry)
{
    std::optional<QStringList> command = entry.command();
    if (!command)
        return {};
    const QString program = executablePath(command->first());
    if (program.isEmpty())
        return {};
    (*command)[0] = program;
    if (!entry.runsInTerminal())
        return *command;
    const QString terminal = QStandardPaths::findExecutable(QStringLiteral("x-terminal-emulator"));
    if (terminal.isEmpty())
        return {};
    return QStringList{terminal, QStringLiteral("-e")} + *command;
}

QString find(const QString &name)
{
    if (name.trimmed().isEmpty())
        return {};
    QStringList ids{name + desktopSuffix};
    if (const QString other = capitalised(name) + desktopSuffix; other != ids.first())
        ids << other;
    for (const QString &id : std::as_const(ids)) {
        if (QString path = openableById(id); !path.isEmpty())
            return path;
    }
    return searchByName(name);
}

bool launch(const QString &name)
{
    const QString path = find(name);
    if (path.isEmpty())
        return false;
    const std::optional<DesktopEntry> entry = DesktopEntry::read(path);
    QStringList command = entry ? launchCommand(*entry) : QStringList();
    if (command.isEmpty())
        return false; // changed on disk since it was found

    QProcess process;
    process.setProgram(command.takeFirst());
    process.setArguments(command);
    const QString workingFolder = entry->value(QStringLiteral("Path"));
    if (!workingFolder.isEmpty() && QFileInfo(workingFolder).isDir())
        process.setWorkingDirectory(workingFolder);
    // The application is on its own: it does not write into the assistant's output.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        DebugLog::log(QStringLiteral("AppLauncher: could not start %1 (%2)").arg(process.program(), path));
        return false;
    }
    DebugLog::log(QStringLiteral("AppLauncher: opened %1").arg(path));
    return true;
}

} // namespace AppLauncher
