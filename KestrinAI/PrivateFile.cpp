#include "PrivateFile.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <optional>

#include <sys/stat.h>

namespace PrivateFile {

bool ensureDir(const QString &path)
{
    if (!QDir().mkpath(path))
        return false;
    // chmod rather than a mode at mkdir: an existing folder made by an older build or by hand
    // is tightened as well. Failure (a folder owned by someone else) is not fatal.
    ::chmod(QFile::encodeName(path).constData(), S_IRWXU);
    return true;
}

bool writeAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    // Unbuffered: a buffered write that fails (disk full) only when commit() flushes it is not
    // reported by Qt 6.4, which then puts the truncated file in place of the good one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    // QSaveFile keeps an existing file's mode and otherwise uses the umask; neither is private.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

std::optional<QByteArray> read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

} // namespace PrivateFile
