#pragma once

#include <QStringList>

/// The program from a terminal: "ask [--kestrin] TEXT", "status", "pull MODEL",
/// "listen [--wav FILE]", "say TEXT", "map PLACE [--print]" and "--help". Only "map" without
/// "--print" shows a window; the others need no display.
/// Output goes to standard output; a failure or bad input prints a sentence on standard error
/// and gives a non-zero exit status (64 for a malformed command).
namespace TerminalFrontEnd {

/// Whether @p arguments (the program first) name a terminal command.
bool handles(const QStringList &arguments);
/// Whether that command shows a window and a display is there for it: it then needs a
/// QGuiApplication rather than a QCoreApplication.
bool showsWindow(const QStringList &arguments);
/// Runs it; a QCoreApplication must exist. @return the exit status.
int run(const QStringList &arguments);

QString helpText();
/// "512.0 MB", "1.2 GB": sizes as the progress line shows them.
QString byteText(qint64 bytes);

} // namespace TerminalFrontEnd
