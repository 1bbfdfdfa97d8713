#pragma once

#include <QString>

class QDateTime;

/// The program's one log, a plain-text file at AppPaths::log(). Each line is
/// "[" + UTC time in ISO 8601 (seconds, "Z") + "] " + message.
namespace DebugLog {

/// Appends one line. Never fails towards the caller and may be called from any thread; lines
/// written from different threads never interleave. On the first call in a process a log of
/// more than 1,000,000 bytes is deleted (the only rotation); if the file cannot be opened,
/// every call of the run is dropped silently.
void log(const QString &message);

/// The line as written for @p message at @p utc, without the line feed.
QString formatLine(const QString &message, const QDateTime &utc);

} // namespace DebugLog
