#include "AppPaths.h"

#include "AppInfo.h"
#include "PrivateFile.h"

#include <QDir>
#include <QStandardPaths>

namespace AppPaths {

namespace {
QString firstLocation(QStandardPaths::StandardLocation type)
{
    // Generic locations are the XDG folders themselves, without the organisation and
    // application names Qt would otherwise append.
    const QStringList all = QStandardPaths::standardLocations(type);
    const QString base = all.isEmpty() ? QDir::homePath() : all.first();
    return QDir(base).filePath(AppInfo::name);
}
} // namespace

QString support()
{
    static const QString path = [] {
        const QString dir = firstLocation(QStandardPaths::GenericDataLocation);
        PrivateFile::ensureDir(dir);
        return dir;
    }();
    return path;
}

QString log()
{
    return QDir(support()).filePath(QStringLiteral("kestrin.log"));
}

QString conversations()
{
    return QDir(support()).filePath(QStringLiteral("conversations.json"));
}

QString voiceDir()
{
    return QDir(support()).filePath(QStringLiteral("voice"));
}

QString configDir()
{
    return firstLocation(QStandardPaths::GenericConfigLocation);
}

} // namespace AppPaths
