#pragma once

#include <QQuickView>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>

struct xcb_connection_t;

/// What the program's small floating windows share: a frameless, translucent QML view above
/// other windows that is shown without taking the focus, and the X11 states that keep it on
/// every workspace and out of the taskbar.
namespace FloatingWindow {

/// Read by Qt's xcb show(): map the window without activating it.
inline constexpr char showWithoutActivatingKey[] = "_q_showWithoutActivating";

/// The X connection on the xcb platform; nullptr elsewhere (the offscreen platform answers for
/// X11 too, without a usable connection).
xcb_connection_t *x11Connection();

/// Sticky on every workspace, out of the taskbar and pager. Window managers drop these states
/// when a window is unmapped: call before each show.
void markFloating(QWindow *window);

/// A view of @p source made with the program's engine; nullptr (and a log line starting with
/// @p name) when the QML cannot be loaded.
std::unique_ptr<QQuickView> create(const QString &name, const QUrl &source, const QVariantMap &initialProperties,
                                   QQuickView::ResizeMode resizeMode, Qt::WindowFlags extraFlags = {});

} // namespace FloatingWindow
