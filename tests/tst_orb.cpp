// The voice orb: its show, refresh and hide rules on a clock the test moves by hand, what its
// view shows, and where it goes with two screens.

#include "OrbWindowController.h"
#include "TestSupport.h"
#include "Theme.h"

#include <QAbstractAnimation>
#include <QCursor>
#include <QGuiApplication>
#include <QPointer>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

namespace {

constexpr char noScreenVariable[] = "KESTRIN_TEST_NO_SCREEN";
const QRect leftScreen(0, 0, 1280, 800);
const QRect rightScreen(1280, 0, 1920, 1080);

/// Runs the controller's animations only when the test moves time on.
class ManualClock
{
public:
    OrbWindowController::AnimationStarter starter()
    {
        return [this](QAbstractAnimation *animation) {
            animation->start();
            animation->pause();
            if (!m_animations.contains(animation))
                m_animations << animation;
        };
    }
    /// In 10 ms steps, so that what ends first acts first.
    void advance(int ms)
    {
        for (int done = 0; done < ms; done += 10) {
            for (const QPointer<QAbstractAnimation> &animation : QList(m_animations))
                if (animation && animation->state() == QAbstractAnimation::Paused)
                    animation->setCurrentTime(qMin(animation->currentTime() + qMin(10, ms - done), animation->totalDuration()));
        }
    }

private:
    QList<QPointer<QAbstractAnimation>> m_animations;
};

QQuickItem *viewOf(const OrbWindowController &orb)
{
    return qobject_cast<QQuickView *>(orb.window())->rootObject();
}

/// The content's opacity: the window's own stays 1.
qreal opacityOf(const OrbWindowController &orb) { return viewOf(orb)->opacity(); }
bool ignoresInput(const OrbWindowController &orb) { return orb.window()->flags() & Qt::WindowTransparentForInput; }
QQuickItem *part(const OrbWindowController &orb, const char *name)
{
    return viewOf(orb)->findChild<QQuickItem *>(QLatin1String(name));
}

const QPoint discCentre = OrbWindowController::orbDisc.center();

} // namespace

class OrbTest : public QObject
{
    Q_OBJECT

    ManualClock m_clock;
    int m_cancels = 0;
    std::function<void()> cancel(int weight) { return [this, weight] { m_cancels += weight; }; }
    void presentListening(OrbWindowController &orb, std::function<void()> onCancel)
    {
        orb.present(OrbState::listening, Theme::tarvik(), QStringLiteral("Listening"), std::move(onCancel));
    }

private slots:
    void init() { m_cancels = 0; }

    void fadesInOnceAndRepeatsOnlyRefresh()
    {
        OrbWindowController orb(m_clock.starter());
        QVERIFY(!orb.window());
        presentListening(orb, cancel(1));
        QVERIFY(orb.window() && QTest::qWaitForWindowExposed(orb.window()));
        QCOMPARE(orb.window()->opacity(), 1.0);
        QCOMPARE(opacityOf(orb), 0.0);
        m_clock.advance(100);
        QCOMPARE(opacityOf(orb), 0.5);
        m_clock.advance(100);
        QCOMPARE(opacityOf(orb), 1.0);
        QVERIFY(!ignoresInput(orb));

        // The same again: no second fade-in, and the click reaches the new callback only.
        presentListening(orb, cancel(10));
        QCOMPARE(opacityOf(orb), 1.0);
        QTest::mouseClick(orb.window(), Qt::LeftButton, {}, discCentre);
        QCOMPARE(m_cancels, 10);
        QTest::mouseClick(orb.window(), Qt::LeftButton, {}, QPoint(8, 8)); // the card, off the disc
        QCOMPARE(m_cancels, 10);
        QCOMPARE(part(orb, "clickCatcher")->mapRectToScene(QRectF(0, 0, 160, 160)).toRect(), OrbWindowController::orbDisc);
    }

    void hideWaitsThenFadesAndUnmaps()
    {
        OrbWindowController orb(m_clock.starter());
        presentListening(orb, cancel(1));
        m_clock.advance(200);
        // Each dismiss restarts the wait; the same content within it cancels the hide, unseen.
        orb.dismissAfterSpeaking();
        m_clock.advance(1000);
        orb.dismissAfterSpeaking();
        m_clock.advance(1300);
        QCOMPARE(opacityOf(orb), 1.0);
        presentListening(orb, cancel(1));
        m_clock.advance(5000);
        QCOMPARE(opacityOf(orb), 1.0);
        QVERIFY(!ignoresInput(orb));

        QQuickWindow *window = orb.window();
        orb.dismissAfterSpeaking();
        m_clock.advance(1400 + 150);
        QVERIFY(ignoresInput(orb)); // from the start of the fade
        QCOMPARE(opacityOf(orb), 0.5);
        QVERIFY(orb.lastPresented().has_value());
        m_clock.advance(150);
        QCOMPARE(opacityOf(orb), 0.0);
        QVERIFY(!window->isVisible());
        QVERIFY(!orb.lastPresented());

        presentListening(orb, cancel(1));
        QCOMPARE(orb.window(), window); // kept, not remade
        QVERIFY(window->isVisible() && !ignoresInput(orb));
        QCOMPARE(opacityOf(orb), 0.0);
        m_clock.advance(200);
        QCOMPARE(opacityOf(orb), 1.0);
    }

    void fadeOutRunsToItsEnd_data()
    {
        QTest::addColumn<QString>("label"), QTest::addColumn<bool>("dismissAgain");
        QTest::newRow("same content") << QStringLiteral("Listening") << false;
        QTest::newRow("new content") << QStringLiteral("Thinking") << false;
        QTest::newRow("new content, dismissed") << QStringLiteral("Thinking") << true;
    }
    void fadeOutRunsToItsEnd()
    {
        QFETCH(QString, label); QFETCH(bool, dismissAgain);
        OrbWindowController orb(m_clock.starter());
        presentListening(orb, {});
        orb.dismissAfterSpeaking();
        m_clock.advance(1400 + 150);
        orb.present(OrbState::listening, Theme::tarvik(), label, {});
        if (dismissAgain)
            orb.dismissAfterSpeaking();
        m_clock.advance(140);
        QVERIFY(opacityOf(orb) < 0.1); // still fading
        QCOMPARE(orb.lastPresented()->label, QStringLiteral("Listening"));
        // Once it has ended, the request made meanwhile is shown in full.
        m_clock.advance(10);
        QCOMPARE(orb.lastPresented()->label, label);
        QCOMPARE(opacityOf(orb), 0.0);
        m_clock.advance(200);
        QCOMPARE(opacityOf(orb), 1.0);
        QVERIFY(!ignoresInput(orb));
        m_clock.advance(1400 + 300);
        QCOMPARE(orb.lastPresented().has_value(), !dismissAgain);
    }

    void hoverShowsTheCancelHint()
    {
        OrbWindowController orb(m_clock.starter());
        presentListening(orb, cancel(1));
        QVERIFY(QTest::qWaitForWindowExposed(orb.window()));
        m_clock.advance(200);
        QQuickItem *label = part(orb, "label");
        QTest::mouseMove(orb.window(), discCentre);
        QTRY_VERIFY(orb.isHoveringCancel());
        QCOMPARE(label->property("text").toString(), QStringLiteral("Tap to cancel"));
        QVERIFY(part(orb, "cancelHint")->isVisible());
        QTest::mouseMove(orb.window(), QPoint(4, 4));
        QTRY_VERIFY(!orb.isHoveringCancel());
        QCOMPARE(label->property("text").toString(), QStringLiteral("Listening"));

        QTest::mouseMove(orb.window(), discCentre);
        QTRY_VERIFY(orb.isHoveringCancel());
        orb.present(OrbState::thinking, Theme::tarvik(), QStringLiteral("Thinking"), cancel(1));
        QVERIFY(!orb.isHoveringCancel());
        QCOMPARE(label->property("text").toString(), QStringLiteral("Thinking"));
    }

    void idleShowsThenHides()
    {
        OrbWindowController orb(m_clock.starter());
        orb.present(OrbState::idle, Theme::oryn(), QString(), cancel(1));
        QVERIFY(orb.window()->isVisible() && ignoresInput(orb));
        m_clock.advance(1400);
        QCOMPARE(opacityOf(orb), 1.0);
        m_clock.advance(300);
        QVERIFY(!orb.window()->isVisible());
        QVERIFY(!orb.lastPresented());
    }

    void viewShowsWhatItsInputsSay_data()
    {
        QTest::addColumn<QString>("state"), QTest::addColumn<bool>("canCancel");
        QTest::addColumn<bool>("bars"), QTest::addColumn<bool>("hint");
        QTest::newRow("speaking, hovered") << "speaking" << true << true << true;
        QTest::newRow("listening, hovered") << "listening" << true << false << true;
        QTest::newRow("thinking, nothing to cancel") << "thinking" << false << false << false;
        QTest::newRow("idle, hovered") << "idle" << true << false << false;
    }
    void viewShowsWhatItsInputsSay()
    {
        QFETCH(QString, state); QFETCH(bool, canCancel); QFETCH(bool, bars); QFETCH(bool, hint);
        OrbWindowController orb(m_clock.starter());
        presentListening(orb, {});
        QQuickItem *view = viewOf(orb);
        view->setProperty("orbState", state);
        view->setProperty("canCancel", canCancel);
        view->setProperty("isHoveringCancel", true);
        QCOMPARE(part(orb, "speakingBars")->isVisible(), bars);
        QCOMPARE(part(orb, "cancelHint")->isVisible(), hint);
        QCOMPARE(part(orb, "label")->property("text").toString(), hint ? QStringLiteral("Tap to cancel") : QStringLiteral("Listening"));

        // Another label changes the text alone: the orb stays under the click catcher.
        view->setProperty("label", QStringLiteral("A much longer label than the card was made for"));
        QCOMPARE(part(orb, "speakingBars")->isVisible(), bars);
        QCOMPARE(part(orb, "cancelHint")->isVisible(), hint);
        QCOMPARE(part(orb, "orbArea")->mapRectToScene(QRectF(0, 0, 160, 160)).toRect(), OrbWindowController::orbDisc);
        QVERIFY(part(orb, "label")->width() <= OrbWindowController::windowSize.width());
    }

    void staysOnTheScreenUnderThePointer()
    {
        QCOMPARE(OrbWindowController::placement(QRect(100, 50, 1000, 700)), QRect(490, 450, 220, 240));
        QCOMPARE(QGuiApplication::screens().size(), 2);
        QCursor::setPos(rightScreen.center());
        OrbWindowController orb(m_clock.starter());
        presentListening(orb, {});
        QCOMPARE(orb.window()->geometry(), OrbWindowController::placement(rightScreen));
        QCOMPARE(orb.window()->screen()->geometry(), rightScreen);
        orb.dismissAfterSpeaking();
        m_clock.advance(1700);
        QCursor::setPos(leftScreen.center());
        presentListening(orb, {});
        QCOMPARE(orb.window()->geometry(), OrbWindowController::placement(rightScreen));
    }

    void withoutAScreenThereIsNoWindow()
    {
        if (!qEnvironmentVariableIsSet(noScreenVariable)) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QLatin1String(noScreenVariable), QStringLiteral("1"));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("withoutAScreenThereIsNoWindow")});
            QVERIFY(child.waitForFinished(60000));
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, child.readAll().constData());
            return;
        }
        OrbWindowController orb(m_clock.starter());
        presentListening(orb, cancel(1));
        QVERIFY(!orb.window());
        QVERIFY(orb.lastPresented().has_value());
        orb.dismissAfterSpeaking();
        m_clock.advance(1700);
        QVERIFY(!orb.lastPresented());
        QVERIFY(QGuiApplication::topLevelWindows().isEmpty());
    }
};

int main(int argc, char *argv[])
{
    TestSupport::isolateHome();
    // Two screens side by side (leftScreen, rightScreen), or none for the child that runs without.
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("screens.json"));
    TestSupport::writeAll(config, qEnvironmentVariableIsSet(noScreenVariable)
                                      ? QByteArray(R"({"screens": []})")
                                      : QByteArray(R"({"screens": [{"name": "left", "width": 1280, "height": 800},
                                                     {"name": "right", "x": 1280, "width": 1920, "height": 1080}]})"));
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
    QGuiApplication app(argc, argv);
    OrbTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_orb.moc"
