#include "ConfirmWindowController.h"

#include "FloatingWindow.h"

#include <QGuiApplication>
#include <QPointer>
#include <QPropertyAnimation>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QtMath>

namespace {

const QString viewSource = QStringLiteral("qrc:/KestrinAI/views/ConfirmView.qml");

} // namespace

ConfirmWindowController::ConfirmWindowController(QObject *parent)
    : ConfirmWindowController(defaultTimeout, parent)
{
}

ConfirmWindowController::ConfirmWindowController(std::chrono::milliseconds timeout, QObject *parent)
    : QObject(parent)
    , m_timeoutInterval(timeout)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &ConfirmWindowController::dismiss);
}

ConfirmWindowController::~ConfirmWindowController()
{
    delete m_window;
}

QQuickWindow *ConfirmWindowController::window() const
{
    return m_window;
}

void ConfirmWindowController::ask(const QString &message, std::function<void()> onConfirm)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    if (m_window)
        retire(m_window);

    // Not managed by the window manager: above everything, on every workspace, never in the
    // taskbar, and never taking the focus from the application in front. Clicks still arrive.
    QQuickView *view = FloatingWindow::create(QStringLiteral("ConfirmView"), QUrl(viewSource),
                                              {{QStringLiteral("message"), message}},
                                              QQuickView::SizeViewToRootObject, Qt::X11BypassWindowManagerHint)
                           .release();
    if (!view)
        return;
    QQuickItem *root = view->rootObject();
    connect(root, SIGNAL(confirmed()), this, SLOT(confirmPressed()));
    connect(root, SIGNAL(cancelled()), this, SLOT(cancelPressed()));

    const QSize size(qCeil(root->width()), qCeil(root->height()));
    const QRect area = screen->availableGeometry();
    view->setScreen(screen);
    view->setGeometry(QRect(QPoint(area.x() + (area.width() - size.width()) / 2,
                                   area.y() + (area.height() - size.height()) / 2),
                            size));
    // The fades change the content's opacity, not the window's: the window's own opacity is
    // what screen capture uses to leave the program's windows out, and a fade running beside
    // it would bring the window back into the picture.
    root->setOpacity(0);

    m_window = view;
    m_action = std::move(onConfirm);
    m_dismissing = false;
    view->show();
    fadeTo(1.0);
    m_timeout.start(m_timeoutInterval); // in place of the earlier question's
}

void ConfirmWindowController::confirmPressed()
{
    if (!isAnswerable() || sender() != m_window->rootObject())
        return;
    QQuickView *const view = m_window;
    const std::function<void()> action = std::exchange(m_action, {});
    const QPointer<ConfirmWindowController> self(this);
    if (action)
        action();
    // The action may have asked a new question; that one stays.
    if (self && m_window == view)
        dismiss();
}

void ConfirmWindowController::cancelPressed()
{
    if (!isAnswerable() || sender() != m_window->rootObject())
        return;
    dismiss();
}

void ConfirmWindowController::dismiss()
{
    if (!isAnswerable())
        return;
    m_timeout.stop();
    m_dismissing = true;
    m_action = {};
    QQuickView *const view = m_window;
    connect(fadeTo(0.0), &QPropertyAnimation::finished, this, [this, view] { retire(view); });
}

QPropertyAnimation *ConfirmWindowController::fadeTo(qreal opacity)
{
    for (QPropertyAnimation *running : m_window->findChildren<QPropertyAnimation *>())
        running->stop();
    auto *fade = new QPropertyAnimation(m_window->rootObject(), "opacity", m_window);
    fade->setDuration(int(m_fadeDuration.count()));
    fade->setEndValue(opacity); // from wherever the opacity is now
    fade->setEasingCurve(QEasingCurve::InOutQuad);
    fade->start(QAbstractAnimation::DeleteWhenStopped);
    return fade;
}

void ConfirmWindowController::retire(QQuickView *view)
{
    // Stopped early, a fade does not report finishing; the window goes without it.
    for (QPropertyAnimation *running : view->findChildren<QPropertyAnimation *>())
        running->stop();
    view->hide();
    view->deleteLater(); // it may be in the middle of delivering the click that led here
    if (view == m_window) {
        m_window = nullptr;
        m_action = {};
        m_dismissing = false;
        m_timeout.stop();
    }
}
