#include "OrbWindowController.h"

#include "FloatingWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPauseAnimation>
#include <QPropertyAnimation>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QSequentialAnimationGroup>

namespace {

const QUrl viewUrl(QStringLiteral("qrc:/KestrinAI/views/VoiceOrbView.qml"));

} // namespace

OrbWindowController::OrbWindowController(QObject *parent)
    : OrbWindowController([](QAbstractAnimation *animation) { animation->start(); }, parent)
{
}

OrbWindowController::OrbWindowController(AnimationStarter start, QObject *parent)
    : QObject(parent)
    , m_start(std::move(start))
{
}

OrbWindowController::~OrbWindowController()
{
    // The animations drive the view's content: they go first.
    delete m_fadeIn;
    delete m_hideTask;
}

QQuickWindow *OrbWindowController::window() const
{
    return m_window.get();
}

QRect OrbWindowController::placement(const QRect &available)
{
    const int middle = available.x() + available.width() / 2;
    const int bottom = available.y() + available.height();
    return {middle - windowSize.width() / 2, bottom - bottomMargin - windowSize.height(), windowSize.width(),
            windowSize.height()};
}

QString OrbWindowController::stateName(OrbState state)
{
    switch (state) {
    case OrbState::idle:
        return QStringLiteral("idle");
    case OrbState::listening:
        return QStringLiteral("listening");
    case OrbState::thinking:
        return QStringLiteral("thinking");
    case OrbState::speaking:
        return QStringLiteral("speaking");
    }
    return QStringLiteral("idle");
}

void OrbWindowController::present(OrbState state, const QColor &accent, const QString &label,
                                  std::function<void()> onCancel)
{
    const Presented content{state, label, accent};
    if (isFading()) {
        // Nothing stops a fade once begun; this is shown when it has ended.
        m_held = Request{content, std::move(onCancel)};
        m_heldDismiss = false;
        return;
    }
    cancelHide();
    if (!m_window)
        createWindow();
    if (m_window)
        setIgnoresInput(state == OrbState::idle);
    m_onCancel = std::move(onCancel);

    if (m_lastPresented == content) {
        // The same again: only the cancel callback is new, so no fade and no hide.
        if (m_view)
            render(content, m_hoveringCancel);
        return;
    }
    m_lastPresented = content;
    m_hoveringCancel = false;
    if (m_window) {
        render(content, false);
        m_fadeIn->stop();
        m_view->setOpacity(0.0);
        if (!m_window->isVisible()) {
            FloatingWindow::markFloating(m_window.get());
            m_window->show();
        }
        m_window->raise();
        m_start(m_fadeIn);
    }
    if (state == OrbState::idle)
        scheduleHide();
}

void OrbWindowController::dismissAfterSpeaking()
{
    if (isFading()) {
        // Already going; a present held meanwhile goes again after it is shown.
        m_heldDismiss = m_held.has_value();
        return;
    }
    scheduleHide();
}

bool OrbWindowController::createWindow()
{
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return false;
    // Never focused: a click on the orb must not take the keyboard from the application in front.
    auto view = FloatingWindow::create(QStringLiteral("OrbWindow"), viewUrl, {}, QQuickView::SizeRootObjectToView,
                                       Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput);
    if (!view)
        return false;
    view->setTitle(QStringLiteral("Voice orb"));
    view->setScreen(screen);
    view->setMinimumSize(windowSize);
    view->setMaximumSize(windowSize);
    view->setGeometry(placement(screen->availableGeometry()));

    m_view = view->rootObject();
    connect(m_view, SIGNAL(orbClicked()), this, SLOT(clicked()));
    connect(m_view, SIGNAL(orbHovered(bool)), this, SLOT(hovered(bool)));
    // The fades change the content's opacity: screen capture owns the window's.
    m_fadeIn = new QPropertyAnimation(m_view, "opacity", this);
    m_fadeIn->setStartValue(0.0);
    m_fadeIn->setEndValue(1.0);
    m_fadeIn->setDuration(int(fadeInDuration.count()));
    m_window = std::move(view);
    return true;
}

void OrbWindowController::render(const Presented &content, bool hovering)
{
    m_view->setProperty("orbState", stateName(content.state));
    m_view->setProperty("accent", content.accent);
    m_view->setProperty("label", content.label);
    m_view->setProperty("canCancel", bool(m_onCancel));
    m_view->setProperty("isHoveringCancel", hovering);
}

void OrbWindowController::setIgnoresInput(bool ignores)
{
    // On X11 an empty input shape: clicks reach the window below.
    m_window->setFlag(Qt::WindowTransparentForInput, ignores);
}

void OrbWindowController::clicked()
{
    // The callback may present again and replace itself.
    if (const std::function<void()> cancel = m_onCancel)
        cancel();
}

void OrbWindowController::hovered(bool hovering)
{
    if (hovering == m_hoveringCancel)
        return;
    m_hoveringCancel = hovering;
    if (m_lastPresented && m_view)
        render(*m_lastPresented, hovering);
}

void OrbWindowController::scheduleHide()
{
    cancelHide();
    auto *task = new QSequentialAnimationGroup(this);
    task->addPause(int(hideDelay.count()));
    QAbstractAnimation *fade = nullptr;
    if (m_view) {
        auto *opacity = new QPropertyAnimation(m_view, "opacity");
        opacity->setEndValue(0.0); // from wherever the fade-in got to
        opacity->setDuration(int(fadeOutDuration.count()));
        fade = opacity;
    } else {
        fade = new QPauseAnimation(int(fadeOutDuration.count())); // no window: only the time passes
    }
    task->addAnimation(fade);
    connect(task, &QSequentialAnimationGroup::currentAnimationChanged, this, [this, fade](QAbstractAnimation *now) {
        if (now != fade || !m_window)
            return;
        m_fadeIn->stop();
        setIgnoresInput(true);
    });
    connect(task, &QAbstractAnimation::finished, this, &OrbWindowController::hideFinished);
    m_hideTask = task;
    m_start(task);
}

void OrbWindowController::cancelHide()
{
    if (!m_hideTask || isFading())
        return;
    m_hideTask->stop();
    m_hideTask->deleteLater();
    m_hideTask = nullptr;
}

bool OrbWindowController::isFading() const
{
    return m_hideTask && m_hideTask->state() != QAbstractAnimation::Stopped && m_hideTask->currentAnimation() == m_hideTask->animationAt(1);
}

void OrbWindowController::hideFinished()
{
    if (m_hideTask)
        m_hideTask->deleteLater(); // it is emitting this
    m_hideTask = nullptr;
    if (m_window)
        m_window->hide(); // kept for the next present
    m_lastPresented.reset();
    if (std::optional<Request> held = std::exchange(m_held, std::nullopt)) {
        const bool dismiss = std::exchange(m_heldDismiss, false);
        present(held->content.state, held->content.accent, held->content.label, std::move(held->onCancel));
        if (dismiss)
            dismissAfterSpeaking();
    }
}
