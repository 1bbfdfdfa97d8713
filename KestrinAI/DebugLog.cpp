#include "DebugLog.h"

#include "AppPaths.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DebugLog {

namespace {

constexpr qint64 maxSizeKept = 1'000'000;

int openLog()
{
    const QByteArray path = QFile::encodeName(AppPaths::log());
    struct stat st {};
    if (::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > maxSizeKept)
        ::unlink(path.constData());
    // O_APPEND: each write lands at the end even if another process appends too.
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::fchmod(fd, S_IRUSR | S_IWUSR);
    return fd;
}

struct Log
{
    std::mutex mutex;
    int fd = openLog();
    bool echo = qEnvironmentVariableIsSet("KESTRIN_LOG_TO_STDERR");
};

Log &theLog()
{
    static Log log; // thread-safe one-time creation; never closed, lives until exit
    return log;
}

void writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= n;
    }
}

} // namespace

QString formatLine(const QString &message, const QDateTime &utc)
{
    return QLatin1Char('[') + utc.toUTC().toString(Qt::ISODate) + QLatin1String("] ") + message;
}

void log(const QString &message)
{
    const QByteArray line = (formatLine(message, QDateTime::currentDateTimeUtc()) + QLatin1Char('\n')).toUtf8();
    Log &log = theLog();
    const std::lock_guard lock(log.mutex);
    if (log.fd >= 0)
        writeAll(log.fd, line);
    if (log.echo)
        writeAll(STDERR_FILENO, line);
}

} // namespace DebugLog
