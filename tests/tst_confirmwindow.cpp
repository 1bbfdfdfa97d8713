// The question put before an action: its window and look, the answers (Confirm, Cancel, the
// time-out), answers that come too late, a question replacing another, and no screen at all.

#include "ConfirmWindowController.h"
#include "TestSupport.h"
#include "Theme.h"

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

/// The question's opacity: its content fades, the window's own opacity stays 1.
qreal opacityOf(QQuickWindow *window)
{
    const auto *view = qobject_cast<QQuickView *>(window);
    return view && view->rootObject() ? view->rootObject()->opacity() : -1;
}

/// An item's rectangle in @p other's coordinates.
QRectF rectIn(QQuickItem *item, QQuickItem *other)
{
    return item->mapRectToItem(other, QRectF(0, 0, item->width(), item->height()));
}

/// Clicks the middle of the named item of @p window.
bool click(QQuickWindow *window, const char *name)
{
    QQuickItem *target = item(window, name);
    if (!target)
        return false;
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
    return true;
}

QColor pixel(const QImage &image, QQuickItem *item, QPointF at)
{
    const QPointF scene = item->mapToScene(at);
    const qreal ratio = image.devicePixelRatio();
    return image.pixelColor(qFloor(scene.x() * ratio), qFloor(scene.y() * ratio));
}

bool near(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) <= 2 && qAbs(a.green() - b.green()) <= 2 && qAbs(a.blue() - b.blue()) <= 2
        && qAbs(a.alpha() - b.alpha()) <= 2;
}

} // namespace

class ConfirmWindowTest : public QObject
{
    Q_OBJECT

    /// A question whose action counts its runs, shown and faded in.
    QQuickWindow *askAndWait(ConfirmWindowController &controller, int &runs,
                             const QString &message = QStringLiteral("Run \u201Cls -la\u201D?"))
    {
        controller.ask(message, [&runs] { ++runs; });
        QQuickWindow *window = controller.window();
        if (!window || !QTest::qWaitForWindowExposed(window))
            return nullptr;
        return window;
    }

private slots:
    void showsTheQuestionCentred()
    {
        ConfirmWindowController controller;
        int runs = 0;
        QVERIFY(!controller.isShowing());
        QVERIFY(!controller.window());
        controller.ask(QStringLiteral("Run \u201Cls -la\u201D?"), [&runs] { ++runs; });
        QVERIFY(controller.isShowing());
        QQuickWindow *window = controller.window();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QCOMPARE(opacityOf(window), 0.0); // then fades in
        QTRY_COMPARE(opacityOf(window), 1.0);
        QCOMPARE(window->opacity(), 1.0);

        QCOMPARE(window->width(), 260);
        QCOMPARE(window->height(), 150);
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(window->x(), area.x() + (area.width() - 260) / 2);
        QCOMPARE(window->y(), area.y() + (area.height() - 150) / 2);

        const Qt::WindowFlags flags = window->flags();
        for (const Qt::WindowType flag : {Qt::FramelessWindowHint, Qt::WindowStaysOnTopHint, Qt::Tool,
                                          Qt::X11BypassWindowManagerHint})
            QVERIFY2(flags.testFlag(flag), qPrintable(QString::number(flag, 16)));
        QVERIFY(!flags.testFlag(Qt::WindowDoesNotAcceptFocus)); // the buttons take clicks
        QCOMPARE(window->property("_q_showWithoutActivating").toBool(), true);
        QCOMPARE(window->color(), QColor(Qt::transparent));
        QCOMPARE(window->requestedFormat().alphaBufferSize(), 8);

        QCOMPARE(item(window, "message")->property("text").toString(), QStringLiteral("Run \u201Cls -la\u201D?"));
        QCOMPARE(runs, 0);
    }

    void theLook()
    {
        ConfirmWindowController controller;
        int runs = 0;
        QQuickWindow *window = askAndWait(controller, runs);
        QVERIFY(window);
        QQuickItem *card = item(window, "card");
        QQuickItem *message = item(window, "message");
        QQuickItem *cancel = item(window, "cancelButton");
        QQuickItem *confirm = item(window, "confirmButton");
        QVERIFY(card && message && cancel && confirm);

        // The card: full width, rounded, a hairline round it, in the middle of the window.
        QCOMPARE(card->width(), 260.0);
        QCOMPARE(card->property("radius").toReal(), 16.0);
        QCOMPARE(card->property("color").value<QColor>(), Theme::panel());
        QCOMPARE(card->property("border").value<QObject *>()->property("width").toReal(), 0.5);
        QCOMPARE(card->property("border").value<QObject *>()->property("color").value<QColor>(), Theme::stroke());
        QVERIFY(qAbs(card->y() * 2 + card->height() - 150) <= 1);

        // The stack: 18 of padding, 14 between the message and the buttons, 10 between buttons.
        const QRectF text = rectIn(message, card);
        QCOMPARE(text.left(), 18.0);
        QCOMPARE(text.top(), 18.0);
        QCOMPARE(text.width(), 260.0 - 36);
        const QRectF left = rectIn(cancel, card);
        const QRectF right = rectIn(confirm, card);
        QCOMPARE(left.top(), text.bottom() + 14);
        QCOMPARE(left.left(), 18.0);
        QCOMPARE(right.left(), left.right() + 10);
        QCOMPARE(right.right(), 260.0 - 18);
        QCOMPARE(right.top(), left.top());
        QCOMPARE(card->height(), left.bottom() + 18);

        const QFont messageFont = message->property("font").value<QFont>();
        QCOMPARE(messageFont.pixelSize(), 13);
        QCOMPARE(messageFont.weight(), QFont::Medium);
        QCOMPARE(message->property("color").value<QColor>(), Theme::textPrimary());
        QCOMPARE(message->property("horizontalAlignment").toInt(), int(Qt::AlignHCenter));

        struct Button
        {
            QQuickItem *item;
            QString label;
            QColor fill;
            QColor text;
        };
        for (const Button &button : {Button{cancel, QStringLiteral("Cancel"), Theme::panelRaised(), Theme::textPrimary()},
                                     Button{confirm, QStringLiteral("Confirm"), Theme::oryn(), QColor(Qt::black)}}) {
            QCOMPARE(button.item->property("text").toString(), button.label);
            QCOMPARE(button.item->property("radius").toReal(), 9.0);
            QCOMPARE(button.item->property("color").value<QColor>(), button.fill);
            QCOMPARE(button.item->property("textColor").value<QColor>(), button.text);
            const QList<QQuickItem *> children = button.item->childItems();
            const auto label = std::find_if(children.begin(), children.end(), [](QQuickItem *child) {
                return child->property("text").isValid();
            });
            QVERIFY(label != children.end());
            const QFont font = (*label)->property("font").value<QFont>();
            QCOMPARE(font.pixelSize(), 12);
            QCOMPARE(font.weight(), QFont::DemiBold);
            QVERIFY((*label)->height() < button.item->height()); // padding above and below
        }

        QTRY_COMPARE(opacityOf(window), 1.0);
        // Drawn: the fills.
        const QImage image = window->grabWindow();
        QVERIFY(!image.isNull());
        QVERIFY(near(pixel(image, card, {8, card->height() / 2}), Theme::panel()));
        QVERIFY(near(pixel(image, cancel, {4, cancel->height() / 2}), Theme::panelRaised()));
        QVERIFY(near(pixel(image, confirm, {4, confirm->height() / 2}), Theme::oryn()));

        // And the shadow: black at under 40 %, soft, round the card. (The software renderer's
        // grab has no alpha channel, so the shadow's own picture is read.)
        QQuickItem *shadowItem = item(window, "shadow");
        QVERIFY(shadowItem);
        QString url;
        QVERIFY(QMetaObject::invokeMethod(shadowItem, "toDataURL", Q_RETURN_ARG(QString, url),
                                          Q_ARG(QString, QStringLiteral("image/png"))));
        const QImage shadow = QImage::fromData(QByteArray::fromBase64(url.section(u',', 1).toLatin1()));
        QVERIFY(!shadow.isNull());
        auto shadowAt = [&](QPointF inCard) {
            const QPointF at = card->mapToItem(shadowItem, inCard) * shadow.width() / shadowItem->width();
            return shadow.pixelColor(at.toPoint());
        };
        const QColor edge = shadowAt({130, -3});
        QVERIFY2(edge.alpha() > 10 && edge.alpha() < 0.4 * 255, qPrintable(edge.name(QColor::HexArgb)));
        QVERIFY2(edge.red() < 8 && edge.green() < 8 && edge.blue() < 8, qPrintable(edge.name(QColor::HexArgb)));
        QVERIFY(shadowAt({130, -15}).alpha() < edge.alpha()); // fading with the distance
        QVERIFY(shadowAt({-3, card->height() / 2}).alpha() > 10);
        QCOMPARE(shadowAt({130, -39}).alpha(), 0);
    }

    void longMessageGrowsTheWindow()
    {
        ConfirmWindowController controller;
        int runs = 0;
        const QString message = QStringLiteral("Run \u201C%1\u201D?").arg(QStringLiteral("echo word ").repeated(40));
        QQuickWindow *window = askAndWait(controller, runs, message);
        QVERIFY(window);
        QQuickItem *card = item(window, "card");
        QCOMPARE(window->width(), 260);
        QVERIFY(window->height() > 150);
        QCOMPARE(window->height(), qCeil(card->height()));
        QCOMPARE(item(window, "message")->property("text").toString(), message);
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(window->y(), area.y() + (area.height() - window->height()) / 2);
    }

    void plainTextMessage()
    {
        ConfirmWindowController controller;
        int runs = 0;
        QQuickWindow *window = askAndWait(controller, runs, QStringLiteral("Run \u201Cecho <b>x</b> &amp;\u201D?"));
        QVERIFY(window);
        QCOMPARE(item(window, "message")->property("textFormat").toInt(), int(Qt::PlainText));
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("button"); // none: the time-out answers
        QTest::addColumn<int>("runs");
        QTest::newRow("Confirm") << QByteArray("confirmButton") << 1;
        QTest::newRow("Cancel") << QByteArray("cancelButton") << 0;
        QTest::newRow("time-out") << QByteArray() << 0;
    }
    void answers()
    {
        QFETCH(QByteArray, button);
        QFETCH(int, runs);
        ConfirmWindowController controller(button.isEmpty() ? 300ms : 60s);
        int ran = 0;
        QPointer<QQuickWindow> window = askAndWait(controller, ran);
        QVERIFY(window);
        if (!button.isEmpty()) {
            QVERIFY(click(window, button.constData()));
            QCOMPARE(ran, runs); // at once, within the click
            QVERIFY(window->isVisible()); // fading out first
            QVERIFY(controller.isShowing());
        }
        // Fades out, then goes.
        QTRY_VERIFY(!controller.isShowing());
        QVERIFY(!controller.window());
        QTRY_VERIFY(!window);
        QCOMPARE(ran, runs);
    }

    void lateAnswersDoNothing_data()
    {
        QTest::addColumn<QByteArray>("first"); // none: the time-out answers
        QTest::newRow("after Confirm") << QByteArray("confirmButton");
        QTest::newRow("after Cancel") << QByteArray("cancelButton");
        QTest::newRow("after the time-out") << QByteArray();
    }
    void lateAnswersDoNothing()
    {
        QFETCH(QByteArray, first);
        ConfirmWindowController controller(first.isEmpty() ? 1s : 60s);
        int ran = 0;
        QQuickWindow *window = askAndWait(controller, ran);
        QVERIFY(window);
        QTRY_COMPARE(opacityOf(window), 1.0);
        controller.setFadeDuration(60s); // still fading out while the late clicks come
        if (!first.isEmpty())
            QVERIFY(click(window, first.constData()));
        QTRY_VERIFY(opacityOf(window) < 1.0); // the question is going
        const int before = ran;
        QVERIFY(click(window, "confirmButton"));
        QVERIFY(click(window, "confirmButton"));
        QCOMPARE(ran, before);
        QCOMPARE(ran, first == "confirmButton" ? 1 : 0);
        // Still on screen and tracked until the fade ends.
        QVERIFY(window->isVisible());
        QVERIFY(controller.isShowing());
        QCOMPARE(controller.window(), window);
    }

    void secondQuestionReplacesTheFirst()
    {
        ConfirmWindowController controller(150ms);
        int firstRuns = 0;
        int secondRuns = 0;
        controller.ask(QStringLiteral("first?"), [&firstRuns] { ++firstRuns; });
        QPointer<QQuickWindow> first = controller.window();
        QVERIFY(first);
        controller.setTimeout(60s);
        controller.ask(QStringLiteral("second?"), [&secondRuns] { ++secondRuns; });
        QPointer<QQuickWindow> second = controller.window();
        QVERIFY(second);
        QVERIFY(second != first);
        // The first is off the screen at once and goes.
        QVERIFY(!first || !first->isVisible());
        QTRY_VERIFY(!first);
        QVERIFY(QTest::qWaitForWindowExposed(second));
        QCOMPARE(item(second, "message")->property("text").toString(), QStringLiteral("second?"));

        // The first's time-out would have ended the question long since.
        QTest::qWait(450);
        QVERIFY(controller.isShowing());
        QCOMPARE(controller.window(), second.data());
        QTRY_COMPARE(opacityOf(second), 1.0);

        QVERIFY(click(second, "confirmButton"));
        QCOMPARE(secondRuns, 1);
        QCOMPARE(firstRuns, 0);
        QTRY_VERIFY(!second);
        QVERIFY(!controller.isShowing());
    }

    void askingFromTheAction()
    {
        // The action may put the next question; that one stays on screen.
        ConfirmWindowController controller;
        int secondRuns = 0;
        controller.ask(QStringLiteral("first?"), [&] {
            controller.ask(QStringLiteral("second?"), [&secondRuns] { ++secondRuns; });
        });
        QPointer<QQuickWindow> first = controller.window();
        QVERIFY(QTest::qWaitForWindowExposed(first));
        QVERIFY(click(first, "confirmButton"));
        QPointer<QQuickWindow> second = controller.window();
        QVERIFY(second && second != first);
        QTRY_VERIFY(!first);
        QVERIFY(controller.isShowing());
        QTRY_COMPARE(opacityOf(second), 1.0);
        QCOMPARE(item(second, "message")->property("text").toString(), QStringLiteral("second?"));
        QCOMPARE(secondRuns, 0);
    }

    void controllerGoneWithItsWindow()
    {
        auto controller = std::make_unique<ConfirmWindowController>();
        int runs = 0;
        QPointer<QQuickWindow> window = askAndWait(*controller, runs);
        QVERIFY(window);
        controller.reset();
        QVERIFY(!window);
        QCOMPARE(runs, 0);
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
            QVERIFY(!controller.window());
            QTest::qWait(50);
            QCOMPARE(runs, 0);
            QVERIFY(QGuiApplication::topLevelWindows().isEmpty());
            return;
        }
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString config = dir.filePath(QStringLiteral("screens.json"));
        TestSupport::writeAll(config, R"({"screens": []})");
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QLatin1String(noScreenVariable), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config);
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
