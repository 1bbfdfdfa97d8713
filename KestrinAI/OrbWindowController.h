#pragma once

#include "OrbPresenter.h"

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QAbstractAnimation;
class QPropertyAnimation;
class QQuickItem;
class QQuickView;
class QQuickWindow;
class QSequentialAnimationGroup;

/// The voice orb: a small floating window near the bottom centre of the screen that shows what
/// the voice side is doing (`views/VoiceOrbView.qml`), cancels it when clicked, and fades out a
/// little after it is told to go.
///
/// The window is made on the first present(), on the screen under the pointer, and kept there
/// for the whole run. Hidden means unmapped after a fade of the content to 0 (without a
/// compositor a transparent window would be a black square). While idle, fading or hidden it
/// lets pointer input through.
///
/// The hide: 1.4 s wait (a present() cancels it), then a 0.3 s fade that nothing stops, then
/// lastPresented() is cleared. A present() that arrives during that fade is held and shown in
/// full once the fade has ended (so a request heard just then is not lost), as is a dismiss
/// that follows it.
///
/// Thread: main.
class OrbWindowController : public QObject, public OrbPresenter
{
    Q_OBJECT

public:
    /// What the orb shows; a present() of the same again only refreshes the view.
    struct Presented
    {
        OrbState state;
        QString label;
        QColor accent;
        bool operator==(const Presented &) const = default;
    };

    /// Starts each of the controller's timed animations (the hide wait and the fades). The
    /// default starts them in real time; tests drive them by hand.
    using AnimationStarter = std::function<void(QAbstractAnimation *)>;

    static constexpr QSize windowSize{220, 240};
    /// From the bottom of the usable screen area to the window's bottom edge.
    static constexpr int bottomMargin = 60;
    /// The orb's disc in the window, where clicks and hover count.
    static constexpr QRect orbDisc{30, 26, 160, 160};
    static constexpr std::chrono::milliseconds hideDelay{1400};
    static constexpr std::chrono::milliseconds fadeInDuration{200};
    static constexpr std::chrono::milliseconds fadeOutDuration{300};

    explicit OrbWindowController(QObject *parent = nullptr);
    explicit OrbWindowController(AnimationStarter start, QObject *parent = nullptr);
    ~OrbWindowController() override;

    void present(OrbState state, const QColor &accent, const QString &label,
                 std::function<void()> onCancel) override;
    void dismissAfterSpeaking() override;

    /// The orb window once a present() had a screen to put it on.
    QQuickWindow *window() const;
    std::optional<Presented> lastPresented() const { return m_lastPresented; }
    bool isHoveringCancel() const { return m_hoveringCancel; }

    /// Where the window goes on @p available, the screen without panels: centred horizontally,
    /// its bottom edge 60 above the area's bottom.
    static QRect placement(const QRect &available);
    /// The view's name for @p state ("idle", "listening", "thinking", "speaking").
    static QString stateName(OrbState state);

private slots:
    void clicked();
    void hovered(bool hovering);

private:
    struct Request
    {
        Presented content;
        std::function<void()> onCancel;
    };

    bool createWindow();
    void render(const Presented &content, bool hovering);
    void setIgnoresInput(bool ignores);
    void scheduleHide();
    void cancelHide();
    bool isFading() const;
    void hideFinished();

    AnimationStarter m_start;
    std::unique_ptr<QQuickView> m_window;
    QQuickItem *m_view = nullptr; // the window's root item; its opacity is what fades
    QPointer<QPropertyAnimation> m_fadeIn;
    QPointer<QSequentialAnimationGroup> m_hideTask;
    std::optional<Presented> m_lastPresented;
    std::function<void()> m_onCancel; // what a click calls
    bool m_hoveringCancel = false;
    // Arrived while the hide was fading; played once it has ended.
    std::optional<Request> m_held;
    bool m_heldDismiss = false;
};
