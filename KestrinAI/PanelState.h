#pragma once

#include <QObject>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <chrono>

/// The edge panel's expand / collapse / pin state. It holds no window: the panel window feeds it
/// pointer events and follows isExpanded; the orchestrator pins it while voice or chat activity
/// goes on; the command router and the tray peek it open.
///
/// At most one delayed collapse is pending; it fires only if the panel is then neither hovered
/// nor pinned. The views animate changes of isExpanded with Theme's spring.
class PanelState : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("PanelState belongs to the orchestrator")
    Q_PROPERTY(bool isExpanded READ isExpanded NOTIFY isExpandedChanged)
    Q_PROPERTY(bool isPinned READ isPinned WRITE setPinned NOTIFY isPinnedChanged)

public:
    struct Timing
    {
        std::chrono::milliseconds afterLeave{500}; // pointer left the panel
        std::chrono::milliseconds afterUnpin{5000};
        std::chrono::milliseconds afterPeek{8000};
    };

    explicit PanelState(QObject *parent = nullptr) : PanelState(Timing{}, parent) { }
    /// With other delays (tests).
    explicit PanelState(Timing timing, QObject *parent = nullptr);

    bool isExpanded() const { return m_expanded; }
    bool isPinned() const { return m_pinned; }
    /// Pinning cancels a pending collapse; unpinning, while expanded and not hovered, schedules
    /// one after 5 s. Setting the current value does nothing.
    void setPinned(bool pinned);
    /// A delayed collapse is scheduled.
    bool isCollapsePending() const { return m_collapseTimer.isActive(); }

    /// The pointer entered (true) or left (false) the panel's active region. Expands on entry;
    /// on leaving, collapses after 0.5 s unless pinned.
    Q_INVOKABLE void hoverChanged(bool hovering);
    /// Opens the panel; unless hovered or pinned it collapses again after 8 s.
    Q_INVOKABLE void peek();
    /// Closes the panel at once and forgets the hover, so the next entry counts as a change.
    Q_INVOKABLE void collapseNow();

signals:
    void isExpandedChanged();
    void isPinnedChanged();

private:
    void setExpanded(bool expanded);
    void scheduleCollapse(std::chrono::milliseconds delay);
    void collapseIfIdle();

    Timing m_timing;
    bool m_expanded = false;
    bool m_pinned = false;
    bool m_hovering = false;
    QTimer m_collapseTimer; // the one pending delayed collapse
};
