#include "EdgePanelController.h"

#include "ChatViewModel.h"
#include "DebugLog.h"
#include "FloatingWindow.h"
#include "HoverTrackingView.h"
#include "PanelState.h"
#include "SetupModel.h"
#include "Theme.h"

#include <QCursor>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>

#include <xcb/shape.h>
#include <xcb/xcb.h>

namespace {

QString frameText(const QRect &r)
{
    return QStringLiteral("(%1, %2, %3, %4)")
        .arg(QString::number(r.x(), 'f', 1), QString::number(r.y(), 'f', 1), QString::number(r.width(), 'f', 1),
             QString::number(r.height(), 'f', 1));
}

// The level floating windows have on the desktop the program's log format comes from.
constexpr int floatingWindowLevel = 3;

} // namespace

EdgePanelController::EdgePanelController(PanelState *state, ChatViewModel *vm, SetupModel *setup,
                                         std::function<void()> onOpenSetup, std::function<void()> onOpenSettings,
                                         QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_vm(vm)
    , m_setup(setup)
    , m_onOpenSetup(std::move(onOpenSetup))
    , m_onOpenSettings(std::move(onOpenSettings))
{
}

EdgePanelController::~EdgePanelController()
{
    // The window sends events while it is destroyed (its items leave it): the filter must not
    // see them, it would read the half-destroyed view.
    if (m_window)
        m_window->removeEventFilter(this);
}

QSize EdgePanelController::fixedSize()
{
    return {Theme::bulgeWidth() + Theme::panelWidth(), Theme::panelHeight()};
}

QRect EdgePanelController::frameFor(const QRect &visibleFrame)
{
    const QSize size = fixedSize();
    // QRect's right() is the last pixel column inside, so the right edge is one past it.
    const int right = visibleFrame.x() + visibleFrame.width();
    const int middle = visibleFrame.y() + visibleFrame.height() / 2;
    return {right - size.width(), middle - size.height() / 2, size.width(), size.height()};
}

QRect EdgePanelController::bulgeRect()
{
    const QSize size = fixedSize();
    return {size.width() - Theme::bulgeWidth(), (size.height() - collapsedBulgeHeight) / 2, Theme::bulgeWidth(),
            collapsedBulgeHeight};
}

HoverTrackingView *EdgePanelController::trackingView() const
{
    return m_window ? qobject_cast<HoverTrackingView *>(m_window->rootObject()) : nullptr;
}

void EdgePanelController::show()
{
    if (m_window)
        return;
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect frame = frameFor(screen->availableGeometry());

    m_window = FloatingWindow::create(QStringLiteral("EdgePanel"), QUrl(QStringLiteral("qrc:/KestrinAI/views/ContentView.qml")),
                                      {{QStringLiteral("vm"), QVariant::fromValue(m_vm)},
                                       {QStringLiteral("panelState"), QVariant::fromValue(m_state.data())},
                                       {QStringLiteral("setup"), QVariant::fromValue(m_setup)}},
                                      QQuickView::SizeRootObjectToView);
    if (!m_window)
        return;
    HoverTrackingView *tracking = trackingView();
    if (tracking) {
        tracking->isExpandedProvider = [state = m_state] { return state && state->isExpanded(); };
        tracking->onHoverChange = [state = m_state](bool hovering) {
            DebugLog::log(QStringLiteral("panel hover -> %1").arg(hovering ? QStringLiteral("true") : QStringLiteral("false")));
            if (state)
                state->hoverChanged(hovering);
        };
        tracking->setupTrackingAreas(bulgeRect());
    }
    QObject *root = m_window->rootObject();
    connect(root, SIGNAL(openSetupRequested()), this, SLOT(openSetup()));
    connect(root, SIGNAL(openSettingsRequested()), this, SLOT(openSettings()));
    m_window->setScreen(screen);
    m_window->setGeometry(frame);
    m_window->installEventFilter(this);
    FloatingWindow::markFloating(m_window.get());
    m_lastExpanded = m_state && m_state->isExpanded();
    applyInputRegion(m_lastExpanded);
    m_window->show();

    DebugLog::log(QStringLiteral("EdgePanel shown: screen=%1 visibleFrame=%2 windowFrame=%3 isVisible=%4 level=%5 screensCount=%6")
                      .arg(frameText(screen->geometry()), frameText(screen->availableGeometry()),
                           frameText(m_window->geometry()), m_window->isVisible() ? QStringLiteral("true") : QStringLiteral("false"))
                      .arg(floatingWindowLevel)
                      .arg(QGuiApplication::screens().size()));

    if (m_state)
        connect(m_state, &PanelState::isExpandedChanged, this, &EdgePanelController::followExpanded);
}

void EdgePanelController::openSetup()
{
    if (m_onOpenSetup)
        m_onOpenSetup();
}

void EdgePanelController::openSettings()
{
    if (m_onOpenSettings)
        m_onOpenSettings();
}

void EdgePanelController::followExpanded()
{
    const bool expanded = m_state && m_state->isExpanded();
    if (expanded == m_lastExpanded)
        return;
    m_lastExpanded = expanded;
    applyInputRegion(expanded);
}

void EdgePanelController::applyInputRegion(bool expanded)
{
    xcb_connection_t *connection = FloatingWindow::x11Connection();
    if (!connection || !m_window)
        return;
    const auto id = xcb_window_t(m_window->winId());
    if (expanded) {
        // No input shape: the whole window takes the pointer.
        xcb_shape_mask(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, id, 0, 0, XCB_NONE);
    } else {
        const QRect bulge = bulgeRect();
        const qreal scale = m_window->devicePixelRatio();
        const xcb_rectangle_t rect{int16_t(bulge.x() * scale), int16_t(bulge.y() * scale),
                                   uint16_t(bulge.width() * scale), uint16_t(bulge.height() * scale)};
        xcb_shape_rectangles(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, id, 0, 0,
                             1, &rect);
    }
    xcb_flush(connection);
}

bool EdgePanelController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window.get())
        return QObject::eventFilter(watched, event);
    // The window's own pointer events, before the views see them: the views' items take hover
    // for themselves, and the areas must be tracked whatever lies under the pointer.
    HoverTrackingView *tracking = trackingView();
    switch (event->type()) {
    case QEvent::Enter:
        if (tracking)
            tracking->pointerMoved(static_cast<QEnterEvent *>(event)->position());
        break;
    case QEvent::MouseMove:
        if (tracking)
            tracking->pointerMoved(static_cast<QMouseEvent *>(event)->position());
        break;
    case QEvent::Leave:
        if (tracking)
            tracking->pointerLeft();
        break;
    case QEvent::MouseButtonPress:
        // Shown without taking the focus, the window asks for it when clicked, so the text
        // field takes typing.
        if (!m_window->isActive())
            m_window->requestActivate();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
