#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

class QPropertyAnimation;
class QQuickView;
class QQuickWindow;

/// The small floating question ("Cancel" / "Confirm") put before an action, such as running a
/// shell command. One per application; everything runs on the main thread.
///
/// Only the newest question is tracked: asking again while a question is on screen takes the
/// earlier window off the screen at once (its action is dropped and its time-out cancelled), so
/// two questions are never on screen together and an old "Confirm" can never be pressed.
/// The window is 260 wide and 150 high, taller when the message needs it, centred in the
/// primary screen's available area.
class ConfirmWindowController : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultTimeout{12000};
    /// The fade in and the fade out (of the window's content: the window's own opacity stays 1).
    static constexpr std::chrono::milliseconds fadeDuration{180};

    explicit ConfirmWindowController(QObject *parent = nullptr);
    /// With another time-out (tests).
    explicit ConfirmWindowController(std::chrono::milliseconds timeout, QObject *parent = nullptr);
    ~ConfirmWindowController() override;

    /// The time-out of the questions asked from now on (tests).
    void setTimeout(std::chrono::milliseconds timeout) { m_timeoutInterval = timeout; }
    /// The length of the fades started from now on (tests).
    void setFadeDuration(std::chrono::milliseconds duration) { m_fadeDuration = duration; }

    /// Shows @p message centred on the primary screen and runs @p onConfirm once if "Confirm" is
    /// pressed before the time-out. Without a screen nothing is shown and the action is dropped.
    void ask(const QString &message, std::function<void()> onConfirm);

    /// The tracked question's window (also while it fades out), or none.
    QQuickWindow *window() const;
    /// Whether a question is tracked: from ask until its window has faded out.
    bool isShowing() const { return m_window != nullptr; }

private slots:
    void confirmPressed();
    void cancelPressed();

private:
    /// Fades the question out and then takes it away, without running the action.
    void dismiss();
    /// Takes the window off the screen now and forgets it if it is the tracked one.
    void retire(QQuickView *view);
    /// Starts fading the tracked window to @p opacity, in place of any fade under way.
    QPropertyAnimation *fadeTo(qreal opacity);
    bool isAnswerable() const { return m_window && !m_dismissing; }

    QQuickView *m_window = nullptr;
    std::function<void()> m_action;
    bool m_dismissing = false;
    QTimer m_timeout; // the tracked question's time-out
    std::chrono::milliseconds m_timeoutInterval;
    std::chrono::milliseconds m_fadeDuration = fadeDuration;
};
