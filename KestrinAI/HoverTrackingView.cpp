#include "HoverTrackingView.h"

HoverTrackingView::HoverTrackingView(QQuickItem *parent) : QQuickItem(parent) { }

void HoverTrackingView::setupTrackingAreas(const QRectF &bulgeRect)
{
    if (m_didSetupTrackingAreas)
        return;
    m_didSetupTrackingAreas = true;
    m_bulgeRect = bulgeRect;
}

bool HoverTrackingView::matchesCurrentState(Region region) const
{
    const bool expanded = isExpandedProvider && isExpandedProvider();
    return region == (expanded ? Region::full : Region::bulge);
}

void HoverTrackingView::pointerMoved(QPointF position)
{
    if (!m_didSetupTrackingAreas)
        return;
    update(m_bulgeRect.contains(position), boundingRect().contains(position));
}

void HoverTrackingView::pointerLeft()
{
    update(false, false);
}

void HoverTrackingView::update(bool inBulge, bool inFull)
{
    // Entering reaches the outer area first, leaving the inner one first, as a pointer crossing
    // nested areas would.
    if (inFull && !m_inFull)
        areaEvent(Region::full, m_inFull = true);
    if (inBulge != m_inBulge)
        areaEvent(Region::bulge, m_inBulge = inBulge);
    if (!inFull && m_inFull)
        areaEvent(Region::full, m_inFull = false);
}

void HoverTrackingView::areaEvent(Region region, bool entered)
{
    if (matchesCurrentState(region) && onHoverChange)
        onHoverChange(entered);
}
