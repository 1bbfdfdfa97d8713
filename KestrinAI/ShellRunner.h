#pragma once

#include <QString>

#include <functional>

class QObject;

/// Runs a command line through the user's login shell and turns how it ended into one short
/// sentence to speak. Holds no state: every run has its own process, pipes and waiting thread,
/// and runs are independent of each other.
namespace ShellRunner {

/// Of each output stream, this much is kept for the reply and the log; the rest is read and
/// dropped while the command runs, so a command printing without end costs no memory.
constexpr qsizetype keptBytes = 64 * 1024;

/// The shell commands run in: $SHELL when it names an executable file, else "/bin/sh".
QString loginShell();

/// Runs @p command as `<shell> -lc <command>`, with this process's environment, working folder
/// and standard input, and returns at once. @p completion gets the reply exactly once, on the
/// main thread, unless @p context is destroyed first. If the shell cannot be started,
/// @p completion has been called when this returns. Called on the main thread.
void run(const QString &command, QObject *context, std::function<void(const QString &reply)> completion);

} // namespace ShellRunner
