#include "DialogWindow.h"

#include "FloatingWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>

namespace {

QPropertyAnimation *fade(QQuickView *view, qreal to, int durationMs)
{
    // The content fades, not the window: screen capture hides our windows through the window's
    // own opacity and puts it back afterwards.
    auto *animation = new QPropertyAnimation(view->rootObject(), "opacity", view);
    animation->setStartValue(view->rootObject()->opacity());
    animation->setEndValue(to);
    animation->setDuration(durationMs);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
    return animation;
}

} // namespace

DialogWindow::DialogWindow(const QString &name, const QUrl &source, QSize size, QObject *parent)
    : QObject(parent)
    , m_name(name)
    , m_source(source)
    , m_size(size)
{
}

DialogWindow::~DialogWindow()
{
    for (const QPointer<QQuickView> &view : std::as_const(m_closing))
        delete view.data();
}

QRect DialogWindow::frameUnderPointer()
{
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : fallbackFrame;
}

QRect DialogWindow::centred(const QRect &frame, QSize size)
{
    return {frame.x() + (frame.width() - size.width()) / 2, frame.y() + (frame.height() - size.height()) / 2,
            size.width(), size.height()};
}

bool DialogWindow::show(const QVariantMap &initialProperties, const std::function<void(QQuickView *)> &onCreated)
{
    if (m_window) {
        bringToFront();
        return true;
    }
    auto view = FloatingWindow::create(m_name, m_source, initialProperties, QQuickView::SizeRootObjectToView);
    if (!view)
        return false;
    // Unlike the panel and the orb, these windows are worked in: they take the keyboard.
    view->setProperty(FloatingWindow::showWithoutActivatingKey, false);
    view->setTitle(m_name);
    view->setMinimumSize(m_size);
    view->setMaximumSize(m_size);
    const QRect frame = frameUnderPointer();
    if (QScreen *screen = QGuiApplication::screenAt(frame.center()))
        view->setScreen(screen);
    view->setGeometry(centred(frame, m_size));
    QQuickView *raw = view.get();
    m_window = std::move(view);
    if (onCreated)
        onCreated(raw);
    m_window->rootObject()->setOpacity(0.0);
    FloatingWindow::markFloating(raw);
    bringToFront();
    fade(raw, 1.0, showFadeMs);
    return true;
}

void DialogWindow::hide()
{
    if (!m_window)
        return;
    QQuickView *view = m_window.release();
    m_closing.append(view);
    const auto fadingIn = view->findChildren<QPropertyAnimation *>(Qt::FindDirectChildrenOnly);
    for (QPropertyAnimation *animation : fadingIn)
        animation->stop(); // deletes it
    connect(fade(view, 0.0, hideFadeMs), &QAbstractAnimation::finished, view, [view] {
        view->hide();
        view->deleteLater();
    });
}

void DialogWindow::bringToFront()
{
    m_window->show();
    m_window->raise();
    m_window->requestActivate();
}
