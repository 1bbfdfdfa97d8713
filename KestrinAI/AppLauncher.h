#pragma once

#include <QString>
#include <QStringList>

class DesktopEntry;

/// Finds an installed application by a spoken name and opens it. The command router calls it
/// after the user confirmed "Open ...?"; false makes the router say nothing was found.
///
/// Applications are XDG desktop entries. launch() tries three ways, in order, and stops at the
/// first that finds an entry that can be opened:
///  1. the desktop-file ID "<name>.desktop", the name exactly as given;
///  2. the ID "<Capitalised Name>.desktop" (each blank-separated word with its first letter
///     upper-cased and the rest lower-cased);
///  3. a search of the system application folders, $XDG_DATA_DIRS/applications in the order of
///     that variable (default /usr/local/share then /usr/share), each listed without descending
///     into subfolders, its "*.desktop" files in file-name order: the first entry whose Name,
///     lower-cased, contains the lower-cased name anywhere opens.
///
/// An ID is resolved the way the desktop resolves it: the user's $XDG_DATA_HOME/applications
/// first, then the system folders, subfolders giving "-"-joined prefixes ("kde4/foo.desktop" is
/// "kde4-foo.desktop"). So the user's copy of an entry takes the place of the system's in all
/// three ways, and a copy with Hidden=true removes it. The user's own folder is not searched by
/// name, though: like the user's own applications folder elsewhere, an application only the user
/// installed opens by its exact ID only, and a partial name never reaches the user's scripts.
///
/// An entry can be opened when it is Type=Application, not Hidden, its TryExec (if any) and
/// its program are installed, and it has a well-formed Exec. The name search also passes over
/// NoDisplay entries (helpers that menus hide); an exact ID opens them. Terminal=true entries
/// open in the Debian terminal alternative, "x-terminal-emulator -e program args" (Debian
/// policy fixes that form), and cannot be opened where there is none.
///
/// Opening never uses a shell and the spoken name never becomes part of a command: Exec is
/// split by the desktop entry rules and the program started detached, with no files. launch()
/// does not wait for the application. A name that is empty or blank opens nothing (it would
/// otherwise be contained in every name).
namespace AppLauncher {

/// Main thread. True when an application was found and its start was requested.
bool launch(const QString &name);

/// The desktop entry file launch(@p name) opens, or an empty text; opens nothing.
QString find(const QString &name);

/// The folders of the name search, in order.
QStringList searchFolders();
/// The folders IDs are resolved in, in order of precedence: the user's, then searchFolders().
QStringList idFolders();
/// The file of the desktop-file ID @p id (for example "firefox.desktop"), or an empty text.
QString findDesktopFile(const QString &id);

/// The program and arguments opening @p entry runs (the program resolved to a full path), or
/// an empty list when it cannot be opened here.
QStringList launchCommand(const DesktopEntry &entry);

} // namespace AppLauncher
