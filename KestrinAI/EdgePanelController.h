#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

#include <functional>
#include <memory>

class ChatViewModel;
class HoverTrackingView;
class PanelState;
class QQuickView;
class SetupModel;

/// The panel glued to the right edge of the screen: one frameless window, on every workspace and
/// above others, that shows the collapsed tab or the open panel (views/ContentView.qml) as the
/// panel state says. While collapsed only the tab takes the pointer (the window's X11 input
/// region is the tab); clicks elsewhere reach the windows beneath. The open panel takes the
/// pointer everywhere and the keyboard once clicked.
///
/// Thread: main. Made once; the window lives until the program ends and stays on its screen.
class EdgePanelController : public QObject
{
    Q_OBJECT

public:
    static constexpr int collapsedBulgeHeight = 160;

    EdgePanelController(PanelState *state, ChatViewModel *vm, SetupModel *setup,
                        std::function<void()> onOpenSetup, std::function<void()> onOpenSettings,
                        QObject *parent = nullptr);
    ~EdgePanelController() override;

    /// The bulge and the open panel side by side, as high as the panel.
    static QSize fixedSize();
    /// The window's frame: flush with the right edge of @p visibleFrame, centred vertically.
    static QRect frameFor(const QRect &visibleFrame);
    /// The tab, in window coordinates: at the right edge, centred vertically.
    static QRect bulgeRect();

    /// Makes and shows the window on the screen under the pointer, without taking the focus.
    /// Later calls do nothing.
    void show();

    QQuickView *window() const { return m_window.get(); }
    HoverTrackingView *trackingView() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void openSetup();
    void openSettings();

private:
    void followExpanded();
    void applyInputRegion(bool expanded);

    QPointer<PanelState> m_state;
    ChatViewModel *m_vm;
    SetupModel *m_setup;
    std::function<void()> m_onOpenSetup;
    std::function<void()> m_onOpenSettings;
    std::unique_ptr<QQuickView> m_window;
    bool m_lastExpanded = false;
};
