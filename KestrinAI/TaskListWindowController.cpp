#include "TaskListWindowController.h"

#include "DebugLog.h"
#include "TaskStore.h"
#include "UserDefaults.h"
#include "ViewEngine.h"

#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QQmlError>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QSurfaceFormat>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdlib>

namespace {

constexpr char showWithoutActivatingKey[] = "_q_showWithoutActivating"; // read by Qt's xcb show()
const QUrl viewUrl(QStringLiteral("qrc:/KestrinAI/views/TaskListWindowView.qml"));

/// On every workspace, out of the taskbar and pager. Qt has no flags for these, so they are
/// set on the unmapped X11 window; Qt adds its own states (above others) to them when it maps
/// it. Window managers drop these states when a window is unmapped: set again before each show.
void markFloating(QWindow *window)
{
    // Only the xcb platform: the offscreen one answers for X11 too, without a usable connection.
    if (QGuiApplication::platformName() != u"xcb")
        return;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
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

} // namespace

TaskListWindowController::TaskListWindowController(QObject *parent)
    : TaskListWindowController(UserDefaults::standard(), parent)
{
}

TaskListWindowController::TaskListWindowController(UserDefaults &defaults, QObject *parent)
    : QObject(parent)
    , m_store(new TaskStore(defaults, this))
{
}

TaskListWindowController::~TaskListWindowController()
{
    // The animation drives the window: it goes first.
    delete m_fade;
}

QQuickWindow *TaskListWindowController::window() const
{
    return m_window.get();
}

QRect TaskListWindowController::placement(const QRect &available)
{
    const int right = available.x() + available.width();
    const int middle = available.y() + available.height() / 2;
    return {right - rightInset, middle - windowSize.height() / 2, windowSize.width(), windowSize.height()};
}

void TaskListWindowController::show()
{
    if (!m_window) {
        QScreen *screen = QGuiApplication::primaryScreen();
        if (!screen || !createWindow(screen))
            return;
        m_window->setOpacity(0.0);
    }
    // A fade-out still running must not unmap the window after this.
    m_hiding = false;
    if (!m_window->isVisible()) {
        markFloating(m_window.get());
        m_window->show();
    }
    m_window->raise();
    fadeTo(1.0, showFadeMs);
}

void TaskListWindowController::hide()
{
    if (!m_window || !m_window->isVisible())
        return;
    m_hiding = true;
    fadeTo(0.0, hideFadeMs);
}

bool TaskListWindowController::createWindow(QScreen *screen)
{
    auto view = std::make_unique<QQuickView>(ViewEngine::shared(), nullptr);
    view->setTitle(QStringLiteral("Tasks"));
    view->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    view->setProperty(showWithoutActivatingKey, true);
    QSurfaceFormat format = view->format();
    format.setAlphaBufferSize(8); // the rounded corners let the desktop through
    view->setFormat(format);
    view->setColor(Qt::transparent);
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    view->setScreen(screen);
    view->setMinimumSize(windowSize);
    view->setMaximumSize(windowSize);
    view->setGeometry(placement(screen->availableGeometry()));
    view->setInitialProperties({{QStringLiteral("store"), QVariant::fromValue(m_store)}});
    view->setSource(viewUrl);
    if (view->status() != QQuickView::Ready || !view->rootObject()) {
        QStringList errors;
        for (const QQmlError &error : view->errors())
            errors << error.toString();
        DebugLog::log(QStringLiteral("TaskListWindow: the view could not be made: ") + errors.join(u"; "));
        return false;
    }
    connect(view->rootObject(), SIGNAL(close()), this, SLOT(hide()));

    m_window = std::move(view);
    m_fade = new QPropertyAnimation(m_window.get(), "opacity", this);
    connect(m_fade, &QPropertyAnimation::finished, this, &TaskListWindowController::onFadeFinished);
    return true;
}

void TaskListWindowController::fadeTo(qreal opacity, int durationMs)
{
    m_fade->stop();
    m_fade->setStartValue(m_window->opacity());
    m_fade->setEndValue(opacity);
    m_fade->setDuration(durationMs);
    m_fade->start();
}

void TaskListWindowController::onFadeFinished()
{
    if (!m_hiding)
        return;
    m_hiding = false;
    m_window->hide();
}
