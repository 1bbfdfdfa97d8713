#pragma once

#include <QPointF>
#include <QQuickItem>
#include <QRectF>
#include <QtQml/qqmlregistration.h>

#include <functional>

/// The root of the panel window's content: it watches the pointer over two areas, the bulge (the
/// collapsed tab) and its whole bounds, and reports entering and leaving the one that counts
/// now: the bulge while the panel is collapsed, the whole panel while it is expanded. So while
/// collapsed only the tab opens the panel, and once open only leaving the whole panel starts the
/// collapse.
///
/// The window's pointer events feed pointerMoved / pointerLeft.
class HoverTrackingView : public QQuickItem
{
    Q_OBJECT
    QML_ELEMENT

public:
    enum class Region { bulge, full };

    explicit HoverTrackingView(QQuickItem *parent = nullptr);

    std::function<bool()> isExpandedProvider;
    std::function<void(bool)> onHoverChange;

    /// Installs the two areas, the first time only. @p bulgeRect is in item coordinates.
    void setupTrackingAreas(const QRectF &bulgeRect);
    bool didSetupTrackingAreas() const { return m_didSetupTrackingAreas; }

    /// Whether an event of @p region counts in the panel's present state.
    bool matchesCurrentState(Region region) const;

    Q_INVOKABLE void pointerMoved(QPointF position);
    Q_INVOKABLE void pointerLeft();

private:
    void update(bool inBulge, bool inFull);
    void areaEvent(Region region, bool entered);

    bool m_didSetupTrackingAreas = false;
    QRectF m_bulgeRect;
    bool m_inBulge = false;
    bool m_inFull = false;
};
