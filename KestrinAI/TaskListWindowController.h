#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

#include <memory>

class QPropertyAnimation;
class QQuickView;
class QQuickWindow;
class QScreen;
class TaskStore;
class UserDefaults;

/// The floating task window and the task list behind it. One per application, created by the
/// orchestrator; the command router adds spoken tasks with store()->add() and opens the window
/// with show(), as do the tray menu and the "--tasks" launch flag.
///
/// The window is made on the first show() and kept for the whole run: hiding only unmaps it.
/// Like the program's other floating windows it is frameless, translucent, above other
/// windows, on every workspace, not in the taskbar, and shown without taking the focus (a
/// click into it gives it the keyboard, so the input row can be typed into).
class TaskListWindowController : public QObject
{
    Q_OBJECT

public:
    static constexpr QSize windowSize{320, 440};
    /// From the right edge of the usable screen area to the window's left edge.
    static constexpr int rightInset = 380;
    static constexpr int showFadeMs = 200;
    static constexpr int hideFadeMs = 180;

    /// With the program's task list (UserDefaults::standard()).
    explicit TaskListWindowController(QObject *parent = nullptr);
    /// With a task list in @p defaults, which must outlive the controller.
    explicit TaskListWindowController(UserDefaults &defaults, QObject *parent = nullptr);
    ~TaskListWindowController() override;

    TaskStore *store() const { return m_store; }
    /// The task window once it has been shown, else nullptr.
    QQuickWindow *window() const;

    /// Where the window goes on @p available, the screen without panels and docks: 60 from its
    /// right edge, centred vertically.
    static QRect placement(const QRect &available);

public slots:
    /// Makes the window on first use, on the primary screen (nothing happens without a screen),
    /// then brings it to the front and fades it in over 0.2 s. A window already shown stays.
    void show();

private slots:
    /// Fades the window out over 0.18 s and then unmaps it; its close button calls this.
    void hide();

private:
    bool createWindow(QScreen *screen);
    void fadeTo(qreal opacity, int durationMs);
    void onFadeFinished();

    TaskStore *m_store = nullptr;
    std::unique_ptr<QQuickView> m_window;
    QPointer<QPropertyAnimation> m_fade;
    bool m_hiding = false;
};
