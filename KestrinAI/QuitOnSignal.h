#pragma once

#include <initializer_list>

/// Turns SIGINT and SIGTERM into a clean QCoreApplication::quit(), so that ending the program
/// from a terminal or a session manager runs the same shutdown as the tray's Quit.
namespace QuitOnSignal {

/// Installs the handlers; call once, after the application object exists.
void install(std::initializer_list<int> signalNumbers);

} // namespace QuitOnSignal
