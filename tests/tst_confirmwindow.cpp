#include "ConfirmWindowController.h"
#include "TestSupport.h"

#include <QGuiApplication>
#include <QPointer>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QScreen>
#include <QtMath>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

using namespace std::chrono_literals;

namespace {

constexpr char noScreenVariable[] = "KESTRIN_TEST_NO_SCREEN";

QQuickItem *item(QQuickWindow *window, const char *name)
{
    return window ? window->contentItem()->findChild<QQuickItem *>(QLatin1String(name)) : nullptr;
}

QString text(QQuickWindow *window, const char *name)
{
    QQuickItem *found = item(window, name);
    return found ? found->property("text").toString() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}

/// The content's opacity: the fades change it, the window's own stays 1.
qreal opacityOf(QQuickWindow *window)
{
    const auto *view = qobject_cast<QQuickView *>(window);
    return view && view->rootObject() ? view->rootObject()->opacity() : -1;
}

bool click(QQuickWindow *window, const char *name)
{
    QQuickItem *target = item(window, name);
    if (!target)
        return false;
    QTest::mouseClick(window, Qt::LeftButton, {}, target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    return true;
}

QQuickWindow *askAndWait(ConfirmWindowController &controller, int &runs, const QString &message = QStringLiteral("Run \u201Cls\u201D?"))
{
    controller.ask(message, [&runs] { ++runs; });
    QQuickWindow *window = controller.window();
    return window && QTest::qWaitForWindowExposed(window) ? window : nullptr;
}

} // namespace

class ConfirmWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void showsTheQuestionCentred_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("short, markup shown as text") << QStringLiteral("Run \u201Cecho <b>x</b> &amp;\u201D?");
        QTest::newRow("long grows the window") << QStringLiteral("Run \u201C%1\u201D?").arg(QStringLiteral("echo word ").repeated(40));
    }
    void showsTheQuestionCentred()
    {
        QFETCH(QString, message);
        ConfirmWindowController controller;
        int runs = 0;
        QVERIFY(!controller.isShowing());
        controller.ask(message, [&runs] { ++runs; });
        QVERIFY(controller.isShowing());
        QQuickWindow *window = controller.window();
        QVERIFY(window && window->isVisible());
        QCOMPARE(opacityOf(window), 0.0); // then fades in
        QTRY_COMPARE(opacityOf(window), 1.0);
        QCOMPARE(window->opacity(), 1.0);

        const bool isLong = message.size() > 100;
        QCOMPARE(window->width(), 260);
        QVERIFY(isLong ? window->height() > 150 : window->height() == 150);
        QCOMPARE(window->height(), qMax(150, qCeil(item(window, "card")->height())));
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(window->position(), QPoint(area.x() + (area.width() - 260) / 2, area.y() + (area.height() - window->height()) / 2));

        // Above everything, unmanaged, and never taking the focus from the application in front.
        const Qt::WindowFlags flags = window->flags();
        for (const Qt::WindowType flag : {Qt::FramelessWindowHint, Qt::WindowStaysOnTopHint, Qt::Tool, Qt::X11BypassWindowManagerHint})
            QVERIFY2(flags.testFlag(flag), qPrintable(QString::number(flag, 16)));
        QVERIFY(!flags.testFlag(Qt::WindowDoesNotAcceptFocus)); // the buttons take clicks
        QCOMPARE(window->property("_q_showWithoutActivating").toBool(), true);
        QCOMPARE(window->color(), QColor(Qt::transparent));

        QCOMPARE(text(window, "message"), message);
        QCOMPARE(item(window, "message")->property("textFormat").toInt(), int(Qt::PlainText));
        QCOMPARE(text(window, "cancelButton"), QStringLiteral("Cancel"));
        QCOMPARE(text(window, "confirmButton"), QStringLiteral("Confirm"));
        QCOMPARE(runs, 0);
    }

    void answersAndLateClicks_data()
    {
        QTest::addColumn<QByteArray>("button"); // none: the time-out answers
        QTest::addColumn<int>("runs");
        QTest::newRow("Confirm") << QByteArray("confirmButton") << 1;
        QTest::newRow("Cancel") << QByteArray("cancelButton") << 0;
        QTest::newRow("time-out") << QByteArray() << 0;
    }
    void answersAndLateClicks()
    {
        QFETCH(QByteArray, button); QFETCH(int, runs);
        ConfirmWindowController controller(button.isEmpty() ? 1s : 60s);
        int ran = 0;
        QPointer<QQuickWindow> window = askAndWait(controller, ran);
        QVERIFY(window);
        QTRY_COMPARE(opacityOf(window), 1.0);
        controller.setFadeDuration(1s); // still fading out while the late clicks come
        if (!button.isEmpty()) {
            QVERIFY(click(window, button.constData()));
            QCOMPARE(ran, runs); // at once, within the click
        }
        QTRY_VERIFY(opacityOf(window) < 1.0);
        QVERIFY(click(window, "confirmButton") && click(window, "confirmButton"));
        QCOMPARE(ran, runs);
        QVERIFY(window->isVisible() && controller.window() == window); // tracked until the fade ends
        QTRY_VERIFY(!controller.isShowing());
        QTRY_VERIFY(!window);
        QCOMPARE(ran, runs);
    }

    void laterQuestionsReplaceEarlierOnes()
    {
        // The second replaces the first, whose time-out must not end it; the second's action puts a
        // third, which stays on screen until the controller goes.
        auto controller = std::make_unique<ConfirmWindowController>(150ms);
        int firstRuns = 0, thirdRuns = 0;
        controller->ask(QStringLiteral("first?"), [&firstRuns] { ++firstRuns; });
        QPointer<QQuickWindow> first = controller->window();
        QVERIFY(first);
        controller->setTimeout(60s);
        controller->ask(QStringLiteral("second?"), [&] { controller->ask(QStringLiteral("third?"), [&thirdRuns] { ++thirdRuns; }); });
        QPointer<QQuickWindow> second = controller->window();
        QVERIFY(second && second != first);
        QVERIFY(!first || !first->isVisible()); // off the screen at once
        QTRY_VERIFY(!first);
        QVERIFY(QTest::qWaitForWindowExposed(second));
        QCOMPARE(text(second, "message"), QStringLiteral("second?"));
        QTest::qWait(450);
        QCOMPARE(controller->window(), second.data());
        QTRY_COMPARE(opacityOf(second), 1.0);
        QVERIFY(click(second, "confirmButton"));
        QPointer<QQuickWindow> third = controller->window();
        QVERIFY(third && third != second);
        QTRY_VERIFY(!second);
        QTRY_COMPARE(opacityOf(third), 1.0);
        QCOMPARE(text(third, "message"), QStringLiteral("third?"));
        controller.reset();
        QVERIFY(!third);
        QCOMPARE(firstRuns + thirdRuns, 0);
    }

    void noScreenShowsNothing()
    {
        if (qEnvironmentVariableIsSet(noScreenVariable)) {
            // The child: a platform without screens.
            QVERIFY(!QGuiApplication::primaryScreen());
            ConfirmWindowController controller(10ms);
            int runs = 0;
            controller.ask(QStringLiteral("anyone?"), [&runs] { ++runs; });
            QVERIFY(!controller.isShowing());
            QTest::qWait(50);
            QCOMPARE(runs, 0);
            QVERIFY(QGuiApplication::topLevelWindows().isEmpty());
            return;
        }
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("screens.json"));
        TestSupport::writeAll(config, R"({"screens": []})");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QLatin1String(noScreenVariable), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config);
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("noScreenShowsNothing")});
        QVERIFY(child.waitForFinished(60000));
        const QByteArray output = child.readAllStandardOutput() + child.readAllStandardError();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
        QVERIFY2(output.contains("PASS   : ConfirmWindowTest::noScreenShowsNothing()"), output.constData());
    }
};

KESTRIN_GUI_TEST_MAIN(ConfirmWindowTest)
#include "tst_confirmwindow.moc"
