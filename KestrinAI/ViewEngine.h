#pragma once

class QQmlEngine;

/// The one QML engine of the program's windows: every view (panel, orb, questions, tasks,
/// setup) is made by it, so the QML types and their caches are loaded once.
namespace ViewEngine {

/// Made on first use, on the main thread; lives until the application quits.
QQmlEngine *shared();

} // namespace ViewEngine
