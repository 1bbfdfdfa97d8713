#pragma once

#include <QString>

/// Locations of the program's per-user files. The support folder is
/// `$XDG_DATA_HOME/Kestrin AI` (usually `~/.local/share/Kestrin AI`), made user-only on first use.
namespace AppPaths {

/// The support folder; computed and created (0700) once per process, thread-safe. A failure
/// to create it is ignored: the writers below fail on their own and cope with that.
QString support();
/// The debug log, "kestrin.log" in the support folder.
QString log();
/// The saved conversation, "conversations.json" in the support folder.
QString conversations();
/// The neural voice's folder, "voice" in the support folder (not created here).
QString voiceDir();
/// The folder of the per-user defaults store, `$XDG_CONFIG_HOME/Kestrin AI` (not created here).
QString configDir();

} // namespace AppPaths
