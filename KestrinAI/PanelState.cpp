#include "PanelState.h"

PanelState::PanelState(Timing timing, QObject *parent)
    : QObject(parent)
    , m_timing(timing)
{
    m_collapseTimer.setSingleShot(true);
    m_collapseTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_collapseTimer, &QTimer::timeout, this, &PanelState::collapseIfIdle);
}

void PanelState::setExpanded(bool expanded)
{
    if (m_expanded == expanded)
        return;
    m_expanded = expanded;
    emit isExpandedChanged();
}

void PanelState::setPinned(bool pinned)
{
    if (m_pinned == pinned)
        return;
    m_pinned = pinned;
    m_collapseTimer.stop();
    if (!pinned && m_expanded && !m_hovering)
        scheduleCollapse(m_timing.afterUnpin);
    emit isPinnedChanged();
}

void PanelState::hoverChanged(bool hovering)
{
    if (hovering == m_hovering)
        return;
    m_hovering = hovering;
    m_collapseTimer.stop();
    if (hovering)
        setExpanded(true);
    else if (!m_pinned)
        scheduleCollapse(m_timing.afterLeave);
}

void PanelState::peek()
{
    m_collapseTimer.stop();
    setExpanded(true);
    if (!m_hovering && !m_pinned)
        scheduleCollapse(m_timing.afterPeek);
}

void PanelState::collapseNow()
{
    m_collapseTimer.stop();
    m_hovering = false;
    setExpanded(false);
}

void PanelState::scheduleCollapse(std::chrono::milliseconds delay)
{
    m_collapseTimer.start(delay); // restarting replaces the pending collapse
}

void PanelState::collapseIfIdle()
{
    // The state may have changed without cancelling the timer in between; check again.
    if (!m_hovering && !m_pinned)
        setExpanded(false);
}
