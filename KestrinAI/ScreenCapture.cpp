#include "ScreenCapture.h"

#include "DebugLog.h"
#include "DeliverLater.h"
#include "FloatingWindow.h"

#include <QBuffer>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <QtConcurrent/QtConcurrentRun>

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>

namespace ScreenCapture {

namespace {

using namespace std::chrono_literals;

// Between concealing our windows and the grab: the compositor, or (without one) the windows
// beneath after their Expose, repaint within a frame or two; this leaves ample room.
constexpr auto settleTime = 100ms;

// The concealment is recorded on each window, so captures that overlap conceal it once and the
// last one to finish restores it.
constexpr char holdsKey[] = "_kestrin_captureHolds";
constexpr char opacityKey[] = "_kestrin_captureOpacity";
constexpr char unmappedKey[] = "_kestrin_captureUnmapped";
constexpr char focusedKey[] = "_kestrin_captureFocused";

struct FreeDeleter
{
    void operator()(void *p) const { std::free(p); }
};
template<typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

void fail(const QString &reason)
{
    DebugLog::log(QStringLiteral("ScreenCapture failed: ") + reason);
}

/// A compositing manager owns the selection _NET_WM_CM_S<n> of its X screen.
bool compositorRunning(xcb_connection_t *connection)
{
    int screenNumber = 0;
    char *host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screenNumber))
        std::free(host);
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screenNumber);
    const XcbReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, uint16_t(name.size()), name.constData()), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    const XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr));
    return owner && owner->owner != XCB_NONE;
}

/// Makes every top-level window of ours that shows on @p screen invisible to a grab.
/// With a compositor they only turn fully transparent: unmapping would move the focus and the
/// window manager may animate the unmap into the picture.
QList<QPointer<QWindow>> conceal(const QScreen *screen)
{
    QList<QPointer<QWindow>> held;
    xcb_connection_t *connection = FloatingWindow::x11Connection();
    std::optional<bool> composited; // asked only when there is a window to conceal
    const QWindow *focused = QGuiApplication::focusWindow();
    const QList<QWindow *> windows = QGuiApplication::topLevelWindows();
    for (QWindow *window : windows) {
        const int holds = window->property(holdsKey).toInt();
        if (holds > 0) {
            window->setProperty(holdsKey, holds + 1);
            held.append(window);
            continue;
        }
        if (!window->isVisible() || (window->windowStates() & Qt::WindowMinimized)
            || !window->frameGeometry().intersects(screen->geometry()))
            continue;
        if (!composited)
            composited = connection && compositorRunning(connection);
        window->setProperty(holdsKey, 1);
        window->setProperty(opacityKey, window->opacity());
        window->setProperty(unmappedKey, !*composited);
        window->setProperty(focusedKey, focused && (focused == window || window->isAncestorOf(focused)));
        if (*composited)
            window->setOpacity(0);
        else
            window->setVisible(false);
        held.append(window);
    }
    // The settle time counts from when the server has the requests, not from the next idle.
    if (connection && !held.isEmpty())
        xcb_flush(connection);
    return held;
}

void restore(const QList<QPointer<QWindow>> &held)
{
    for (const QPointer<QWindow> &window : held) {
        if (!window)
            continue;
        const int holds = window->property(holdsKey).toInt() - 1;
        if (holds > 0) {
            window->setProperty(holdsKey, holds);
            continue;
        }
        const double opacity = window->property(opacityKey).toDouble();
        const bool unmapped = window->property(unmappedKey).toBool();
        const bool focused = window->property(focusedKey).toBool();
        for (const char *key : {holdsKey, opacityKey, unmappedKey, focusedKey})
            window->setProperty(key, QVariant());
        if (unmapped) {
            // Mapped again without taking the focus from whoever has it now, unless it was ours.
            const QVariant before = window->property(FloatingWindow::showWithoutActivatingKey);
            window->setProperty(FloatingWindow::showWithoutActivatingKey, !focused);
            window->setVisible(true); // not show(): that would reset a maximized or full-screen state
            window->setProperty(FloatingWindow::showWithoutActivatingKey, before);
            if (focused)
                window->requestActivate();
        }
        window->setOpacity(opacity);
    }
}

std::optional<QString> encode(const QImage &grabbed)
{
    const QSize size = outputSize(grabbed.size());
    const QImage picture = size == grabbed.size()
        ? grabbed
        : grabbed.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, "JPEG", jpegQuality) || jpeg.isEmpty()) {
        fail(QStringLiteral("the picture could not be encoded as JPEG"));
        return std::nullopt;
    }
    return QString::fromLatin1(jpeg.toBase64());
}

} // namespace

bool hasPermission()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

bool requestPermission()
{
    return hasPermission();
}

void openSettings()
{
}

QSize outputSize(QSize display)
{
    const qint64 width = std::max(display.width(), 0);
    const qint64 height = std::max(display.height(), 0);
    const qint64 longest = std::max(width, height);
    if (longest <= longestEdge)
        return QSize(std::max<int>(int(width), 1), std::max<int>(int(height), 1));
    // Whole numbers: the longest edge comes out at exactly longestEdge, with no rounding error.
    return QSize(std::max<int>(int(width * longestEdge / longest), 1),
                 std::max<int>(int(height * longestEdge / longest), 1));
}

QScreen *screenUnderPointer()
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    if (screens.isEmpty())
        return nullptr;
    const QPoint pointer = QCursor::pos();
    for (QScreen *screen : screens) {
        if (screen->geometry().contains(pointer))
            return screen;
    }
    return QGuiApplication::primaryScreen();
}

void captureBase64(QObject *context, std::function<void(std::optional<QString>)> done)
{
    if (!context)
        return;
    QScreen *screen = hasPermission() ? screenUnderPointer() : nullptr;
    if (!screen) {
        // Queued to the context, so the answer is never given inside the call.
        QMetaObject::invokeMethod(context, [done = std::move(done)] { done(std::nullopt); }, Qt::QueuedConnection);
        return;
    }
    const QList<QPointer<QWindow>> held = conceal(screen);
    // Timed on the application object: our windows come back even when the context is gone.
    QTimer::singleShot(settleTime, QCoreApplication::instance(),
                       [guard = QPointer<QObject>(context), target = QPointer<QScreen>(screen), held,
                        done = std::move(done)]() mutable {
        // grabWindow(0): the part of the root window this screen shows (X11 needs the main thread).
        // No grab for a caller that is gone or a screen unplugged meanwhile.
        const QImage grabbed = guard && target ? target->grabWindow(0).toImage() : QImage();
        restore(held);
        if (!guard) // gone, perhaps ended by a handler of the windows' return
            return;
        if (grabbed.isNull()) {
            fail(target ? QStringLiteral("the screen could not be grabbed")
                        : QStringLiteral("the screen went away before it could be grabbed"));
            done(std::nullopt);
            return;
        }
        deliverLater(QtConcurrent::run([grabbed] { return encode(grabbed); }), guard.data(), std::move(done));
    });
}

} // namespace ScreenCapture
