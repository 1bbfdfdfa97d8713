#include "PanelState.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>

using namespace std::chrono_literals;

namespace {
// Shortened delays keep the timelines quick; defaultTimings checks the real ones.
const PanelState::Timing fast{200ms, 600ms, 900ms};

/// Milliseconds until @p state collapses, or -1 if it does not within @p limit.
qint64 msUntilCollapsed(const PanelState &state, std::chrono::milliseconds limit)
{
    QElapsedTimer clock;
    clock.start();
    while (state.isExpanded()) {
        if (clock.elapsed() > limit.count())
            return -1;
        QTest::qWait(5);
    }
    return clock.elapsed();
}
} // namespace

class PanelStateTest : public QObject
{
    Q_OBJECT

private slots:
    void hoverOpensAndLeavingClosesAfterTheDelay()
    {
        PanelState state(fast);
        QSignalSpy spy(&state, &PanelState::isExpandedChanged);
        QVERIFY(!state.isExpanded());
        state.hoverChanged(true);
        QVERIFY(state.isExpanded());
        state.hoverChanged(true); // not a change: nothing happens
        QCOMPARE(spy.count(), 1);
        state.hoverChanged(false);
        QVERIFY(state.isExpanded());
        QVERIFY(state.isCollapsePending());
        const qint64 ms = msUntilCollapsed(state, 3s);
        QVERIFY2(ms >= 190, qPrintable(QString::number(ms)));
        QCOMPARE(spy.count(), 2);
        QVERIFY(!state.isCollapsePending());
    }

    void reenteringWithinTheDelayKeepsItOpen()
    {
        PanelState state(fast);
        state.hoverChanged(true);
        state.hoverChanged(false);
        QTest::qWait(50);
        state.hoverChanged(true);
        QVERIFY(!state.isCollapsePending());
        QTest::qWait(400);
        QVERIFY(state.isExpanded());
    }

    void peekWhileHoveredDoesNotSchedule()
    {
        PanelState state(fast);
        state.hoverChanged(true);
        state.peek();
        QVERIFY(state.isExpanded());
        QVERIFY(!state.isCollapsePending());
    }

    void peekWhilePinnedThenUnpin()
    {
        PanelState state(fast);
        QSignalSpy pinSpy(&state, &PanelState::isPinnedChanged);
        state.setPinned(true);
        state.peek();
        QVERIFY(state.isExpanded());
        QVERIFY(!state.isCollapsePending());
        QTest::qWait(1000); // past the peek delay: pinned, so still open
        QVERIFY(state.isExpanded());
        state.setPinned(false);
        QCOMPARE(pinSpy.count(), 2);
        QVERIFY(state.isCollapsePending());
        const qint64 ms = msUntilCollapsed(state, 5s);
        QVERIFY2(ms >= 590, qPrintable(QString::number(ms)));
    }

    void pinningCancelsAndSettingTheSameValueDoesNothing()
    {
        PanelState state(fast);
        state.peek();
        QVERIFY(state.isCollapsePending());
        state.setPinned(true);
        QVERIFY(!state.isCollapsePending());
        QTest::qWait(1000);
        QVERIFY(state.isExpanded());

        PanelState idle(fast);
        QSignalSpy spy(&idle, &PanelState::isPinnedChanged);
        idle.peek();
        idle.hoverChanged(true);
        idle.hoverChanged(false); // leave: collapse in 200 ms
        idle.setPinned(false);    // no change: must not replace it with the 600 ms unpin delay
        QCOMPARE(spy.count(), 0);
        QVERIFY(msUntilCollapsed(idle, 3s) < 550);
    }

    void unpinWhileCollapsedOrHoveredSchedulesNothing()
    {
        PanelState collapsed(fast);
        collapsed.setPinned(true);
        collapsed.setPinned(false);
        QVERIFY(!collapsed.isCollapsePending());

        PanelState hovered(fast);
        hovered.hoverChanged(true);
        hovered.setPinned(true);
        hovered.setPinned(false);
        QVERIFY(!hovered.isCollapsePending());
    }

    void collapseNowForgetsTheHover()
    {
        PanelState state(fast);
        state.hoverChanged(true);
        state.collapseNow();
        QVERIFY(!state.isExpanded());
        QVERIFY(!state.isCollapsePending());
        // The pointer is still there, but the next entry is a change and opens the panel again.
        state.hoverChanged(true);
        QVERIFY(state.isExpanded());
    }

    void collapseNowWhilePinnedCloses()
    {
        PanelState state(fast);
        state.peek();
        state.setPinned(true);
        state.collapseNow();
        QVERIFY(!state.isExpanded());
    }

    void secondPeekRestartsTheWait()
    {
        PanelState state(fast);
        QSignalSpy spy(&state, &PanelState::isExpandedChanged);
        state.peek();
        QTest::qWait(500);
        state.peek();
        QCOMPARE(spy.count(), 1); // already open: no second change
        const qint64 ms = msUntilCollapsed(state, 5s);
        QVERIFY2(ms >= 890, qPrintable(QString::number(ms))); // counted from the second peek
        QTest::qWait(300);
        QCOMPARE(spy.count(), 2); // one collapse only
    }

    void defaultTimings()
    {
        PanelState state;
        auto within = [](qint64 ms, qint64 expected) { return ms >= expected - 10 && ms < expected + 700; };

        state.hoverChanged(true);
        state.hoverChanged(false);
        qint64 ms = msUntilCollapsed(state, 3s);
        QVERIFY2(within(ms, 500), qPrintable(QString::number(ms)));

        state.peek();
        ms = msUntilCollapsed(state, 12s);
        QVERIFY2(within(ms, 8000), qPrintable(QString::number(ms)));

        state.setPinned(true);
        state.peek();
        state.setPinned(false);
        ms = msUntilCollapsed(state, 9s);
        QVERIFY2(within(ms, 5000), qPrintable(QString::number(ms)));
    }
};

KESTRIN_TEST_MAIN(PanelStateTest)
#include "tst_panelstate.moc"
