#pragma once

// Small measurements shared by the benchmarks.

#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <functional>

#include <sys/resource.h>
#include <unistd.h>

/// This process's resident memory now, in MB (0 when /proc cannot be read).
inline double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

namespace BenchSupport {

/// CPU seconds (user and system) of every thread of this process so far.
inline double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// The most memory this process has held resident, in MB.
inline double peakMb()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

/// CPU seconds of this process's threads named @p name.
inline double threadCpuSeconds(const QByteArray &name)
{
    double total = 0;
    const long ticks = sysconf(_SC_CLK_TCK);
    for (const QString &tid : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(tid));
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The fields after the name in parentheses; utime and stime are the 12th and 13th.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            total += double(fields[11].toLongLong() + fields[12].toLongLong()) / double(ticks);
    }
    return total;
}

/// Runs the event loop until @p done or @p timeoutMs; true when done.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    // Checked on a timer, so the waiting costs no CPU of its own.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(100);
    if (!done())
        loop.exec();
    return done();
}

} // namespace BenchSupport
