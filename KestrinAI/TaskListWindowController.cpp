#include "TaskListWindowController.h"

#include "FloatingWindow.h"
#include "TaskStore.h"
#include "UserDefaults.h"

#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>


namespace {

const QUrl viewUrl(QStringLiteral("qrc:/KestrinAI/views/TaskListWindowView.qml"));

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
        m_window->rootObject()->setOpacity(0.0);
    }
    // A fade-out still running must not unmap the window after this.
    m_hiding = false;
    if (!m_window->isVisible()) {
        FloatingWindow::markFloating(m_window.get());
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
    auto view = FloatingWindow::create(QStringLiteral("TaskListWindow"), viewUrl,
                                       {{QStringLiteral("store"), QVariant::fromValue(m_store)}},
                                       QQuickView::SizeRootObjectToView);
    if (!view)
        return false;
    view->setTitle(QStringLiteral("Tasks"));
    view->setScreen(screen);
    view->setMinimumSize(windowSize);
    view->setMaximumSize(windowSize);
    view->setGeometry(placement(screen->availableGeometry()));
    connect(view->rootObject(), SIGNAL(close()), this, SLOT(hide()));

    m_window = std::move(view);
    // The fades change the content's opacity, not the window's: screen capture hides our
    // windows through the window's opacity and puts it back afterwards.
    m_fade = new QPropertyAnimation(m_window->rootObject(), "opacity", this);
    connect(m_fade, &QPropertyAnimation::finished, this, &TaskListWindowController::onFadeFinished);
    return true;
}

void TaskListWindowController::fadeTo(qreal opacity, int durationMs)
{
    m_fade->stop();
    m_fade->setStartValue(m_window->rootObject()->opacity());
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
