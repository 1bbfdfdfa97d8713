#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

/// Helpers for files that only the user may read: conversations, settings and the log hold
/// private text, and on many systems home folders are readable by other users.
namespace PrivateFile {

/// Creates @p path with its missing parents; the last folder is made (or tightened to) 0700.
/// @return true when the folder exists afterwards.
bool ensureDir(const QString &path);

/// Replaces the file at @p path with @p bytes atomically, mode 0600: a reader or a crash sees
/// either the old content or the new, never a mix. The parent folder must exist.
/// @return false when anything failed; the old file is then untouched.
bool writeAtomically(const QString &path, const QByteArray &bytes);

/// Reads the whole file; an absent or unreadable file gives no value.
std::optional<QByteArray> read(const QString &path);

} // namespace PrivateFile
