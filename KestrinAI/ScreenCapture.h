#pragma once

#include <QObject>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

class QScreen;

/// One still picture of the screen the user works on, as base64 JPEG text for a vision request.
///
/// The program's own windows are left out of the picture, so the model sees what lies behind
/// the panel: for the grab they are made fully transparent when a compositing manager runs (they
/// stay mapped, focus does not move) and unmapped otherwise, then restored as they were. The
/// mouse pointer is not in the picture. Grabbing happens on the main thread; scaling and
/// encoding on a pool thread.
namespace ScreenCapture {

inline constexpr int longestEdge = 1280;
inline constexpr int jpegQuality = 82;

/// Screen recording is possible: an X11 session (QGuiApplication::platformName() == "xcb"). Never asks.
bool hasPermission();
/// Nothing to ask on Linux: the current answer of hasPermission().
bool requestPermission();
/// Does nothing: X11 has no privacy setting for screen grabs (any client may read the screen),
/// and in another session (Wayland) no setting would make this kind of grab possible, so there
/// is nothing sensible to open.
void openSettings();

/// Asynchronous. Calls @p done on @p context's thread (main) with the base64 JPEG, or std::nullopt;
/// never called if @p context (a main-thread object) is destroyed first.
///
/// Without permission, or with no screen at all, the answer is absent and nothing is logged; a
/// grab or encoding that fails gives absent and one line in the debug log.
void captureBase64(QObject *context, std::function<void(std::optional<QString>)> done);

/// The picture's size for a screen of @p display pixels: scaled down (never up) so that its
/// longest edge is at most longestEdge, each edge truncated, and never below 1.
QSize outputSize(QSize display);
/// The first screen (in QGuiApplication::screens() order) whose geometry holds the pointer,
/// else the primary screen; nullptr when there is no screen.
QScreen *screenUnderPointer();

} // namespace ScreenCapture
