#include "FloatingWindow.h"

#include "DebugLog.h"
#include "ViewEngine.h"

#include <QGuiApplication>
#include <QQmlError>
#include <QQuickItem>
#include <QSurfaceFormat>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdlib>

namespace FloatingWindow {

xcb_connection_t *x11Connection()
{
    if (QGuiApplication::platformName() != u"xcb")
        return nullptr;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

void markFloating(QWindow *window)
{
    // Qt has no flags for these, so they go on the unmapped X11 window; Qt adds its own states
    // (above others) to them when it maps it.
    xcb_connection_t *connection = x11Connection();
    if (!connection)
        return;
    const auto id = xcb_window_t(window->winId());

    constexpr std::array<const char *, 5> names{"_NET_WM_STATE", "_NET_WM_STATE_STICKY",
                                                "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER",
                                                "_NET_WM_DESKTOP"};
    std::array<xcb_intern_atom_cookie_t, names.size()> cookies{};
    for (size_t i = 0; i < names.size(); ++i)
        cookies[i] = xcb_intern_atom(connection, 0, uint16_t(qstrlen(names[i])), names[i]);
    std::array<xcb_atom_t, names.size()> atoms{};
    for (size_t i = 0; i < names.size(); ++i) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookies[i], nullptr);
        atoms[i] = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
    }
    if (std::find(atoms.begin(), atoms.end(), xcb_atom_t(XCB_ATOM_NONE)) != atoms.end())
        return;

    const std::array<xcb_atom_t, 3> states{atoms[1], atoms[2], atoms[3]};
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atoms[0], XCB_ATOM_ATOM, 32,
                        uint32_t(states.size()), states.data());
    const uint32_t allDesktops = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atoms[4], XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    xcb_flush(connection);
}

std::unique_ptr<QQuickView> create(const QString &name, const QUrl &source, const QVariantMap &initialProperties,
                                   QQuickView::ResizeMode resizeMode, Qt::WindowFlags extraFlags)
{
    auto view = std::make_unique<QQuickView>(ViewEngine::shared(), nullptr);
    view->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | extraFlags);
    view->setProperty(showWithoutActivatingKey, true);
    QSurfaceFormat format = view->format();
    format.setAlphaBufferSize(8); // the views draw their own rounded shapes
    view->setFormat(format);
    view->setColor(Qt::transparent);
    view->setResizeMode(resizeMode);
    view->setInitialProperties(initialProperties);
    view->setSource(source);
    if (view->status() == QQuickView::Ready && view->rootObject())
        return view;
    QStringList errors;
    for (const QQmlError &error : view->errors())
        errors << error.toString();
    DebugLog::log(name + QStringLiteral(": the view could not be made: ") + errors.join(QStringLiteral("; ")));
    return nullptr;
}

} // namespace FloatingWindow
