#include "PanelState.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>

using namespace std::chrono_literals;

namespace {
// Shortened delays (leave, unpin, peek), all different so a mixed-up delay shows.
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
    void hoverOpensAndLeavingClosesAfterHalfASecond()
    {
        PanelState state; // the real delay
        QSignalSpy spy(&state, &PanelState::isExpandedChanged);
        state.hoverChanged(true);
        state.hoverChanged(true); // not a change
        QVERIFY(state.isExpanded());
        QCOMPARE(spy.count(), 1);
        state.hoverChanged(false);
        QVERIFY(state.isExpanded() && state.isCollapsePending());
        const qint64 ms = msUntilCollapsed(state, 3s);
        QVERIFY2(ms >= 490 && ms < 1200, qPrintable(QString::number(ms)));
        QCOMPARE(spy.count(), 2);

        // Coming back within the delay keeps it open.
        state.hoverChanged(true);
        state.hoverChanged(false);
        QTest::qWait(50);
        state.hoverChanged(true);
        QVERIFY(!state.isCollapsePending());
        QTest::qWait(700);
        QVERIFY(state.isExpanded());
    }

    void peekClosesCountingFromTheLastPeek()
    {
        PanelState state(fast);
        QSignalSpy spy(&state, &PanelState::isExpandedChanged);
        state.peek();
        QTest::qWait(500);
        state.peek();
        QCOMPARE(spy.count(), 1);
        const qint64 ms = msUntilCollapsed(state, 5s);
        QVERIFY2(ms >= 890, qPrintable(QString::number(ms)));
        QTest::qWait(300);
        QCOMPARE(spy.count(), 2); // one collapse only

        state.hoverChanged(true);
        state.peek(); // hovered: nothing to schedule
        QVERIFY(state.isExpanded() && !state.isCollapsePending());
    }

    void pinHoldsItOpenAndUnpinClosesLater()
    {
        PanelState state(fast);
        QSignalSpy pinSpy(&state, &PanelState::isPinnedChanged);
        state.peek();
        state.setPinned(true);
        QVERIFY(!state.isCollapsePending());
        state.peek();
        QVERIFY(!state.isCollapsePending());
        QTest::qWait(1000); // past the peek delay
        QVERIFY(state.isExpanded());
        state.setPinned(false);
        QCOMPARE(pinSpy.count(), 2);
        const qint64 ms = msUntilCollapsed(state, 5s);
        QVERIFY2(ms >= 590, qPrintable(QString::number(ms)));

        // Setting the current value must not replace a pending leave collapse with the unpin one.
        PanelState idle(fast);
        QSignalSpy idleSpy(&idle, &PanelState::isPinnedChanged);
        idle.peek();
        idle.hoverChanged(true);
        idle.hoverChanged(false);
        idle.setPinned(false);
        QCOMPARE(idleSpy.count(), 0);
        QVERIFY(msUntilCollapsed(idle, 3s) < 550);

        // Unpinning while collapsed or hovered schedules nothing.
        idle.setPinned(true);
        idle.setPinned(false);
        QVERIFY(!idle.isExpanded() && !idle.isCollapsePending());
        idle.hoverChanged(true);
        idle.setPinned(true);
        idle.setPinned(false);
        QVERIFY(!idle.isCollapsePending());
    }

    void collapseNowClosesEvenPinnedAndForgetsTheHover()
    {
        PanelState state(fast);
        state.hoverChanged(true);
        state.setPinned(true);
        state.collapseNow();
        QVERIFY(!state.isExpanded() && !state.isCollapsePending());
        state.hoverChanged(true); // the pointer never left, yet this entry opens it again
        QVERIFY(state.isExpanded());
    }
};

KESTRIN_TEST_MAIN(PanelStateTest)
#include "tst_panelstate.moc"
