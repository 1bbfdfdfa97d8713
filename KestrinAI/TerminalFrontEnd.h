#pragma once

#include <QStringList>

/// The program from a terminal, without a display: "ask [--kestrin] TEXT", "status",
/// "pull MODEL" and "--help".
/// Output goes to standard output; an engine failure prints the engine's description on
/// standard error and gives a non-zero exit status.
namespace TerminalFrontEnd {

/// Whether @p arguments (the program first) name a terminal command.
bool handles(const QStringList &arguments);
/// Runs it; a QCoreApplication must exist. @return the exit status.
int run(const QStringList &arguments);

QString helpText();
/// "512.0 MB", "1.2 GB": sizes as the progress line shows them.
QString byteText(qint64 bytes);

} // namespace TerminalFrontEnd
