#pragma once

// Small measurements shared by the benchmarks.

#include <QByteArray>
#include <QFile>

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
