#include "AppLogo.h"
#include "PanelState.h"
#include "SettingsStore.h"
#include "TestSupport.h"
#include "Theme.h"

#include <QGuiApplication>
#include <QPainter>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

class ThemeTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QObject> create(QQmlEngine &engine, const QByteArray &qml)
    {
        QQmlComponent component(&engine);
        component.setData(qml, QUrl(QStringLiteral("inline.qml")));
        std::unique_ptr<QObject> object(component.create());
        if (!object)
            qWarning() << component.errorString();
        return object;
    }

private slots:
    void markIsCentredOnWholeCells()
    {
        QCOMPARE(AppLogo::markLayout(QRectF(0, 0, 24, 20)).cell, 1.0);
        QCOMPARE(AppLogo::markLayout(QRectF(0, 0, 24, 20)).origin, QPointF(0, 0));
        QCOMPARE(AppLogo::markLayout(QRectF(0, 0, 48, 20)).origin, QPointF(12, 0));
        // Drawn, the cells' gradient runs from Oryn's colour at the top left to Tarvik's.
        QImage image(240, 200, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        AppLogo::drawMark(painter, image.rect());
        painter.end();
        QCOMPARE(image.pixelColor(5, 5).alpha(), 0);       // row 0 is empty
        const QColor early = image.pixelColor(25, 85);     // row 8, column 2
        const QColor late = image.pixelColor(165, 195);    // row 19, column 16
        QCOMPARE(early.alpha(), 255);
        QCOMPARE(late.alpha(), 255);
        QVERIFY(early.red() < late.red() - 20);            // Oryn's red is lower than Tarvik's
        QVERIFY(!AppLogo::statusBarImage().isNull());
    }

    void qmlSeesTheSameValues()
    {
        QQmlEngine engine;
        auto object = create(engine, R"(
            import QtQuick
            import KestrinAI
            QtObject {
                property color oryn: Theme.oryn
                property color stroke: Theme.stroke
                property int width: Theme.panelWidth + Theme.bulgeWidth
                property real stiffness: Theme.springStiffness
                property real wait: SettingsStore.wakeWordCommandTimeout
                property int voices: SettingsStore.availableKokoroVoices.length
            })");
        QVERIFY(object);
        QCOMPARE(object->property("oryn").value<QColor>(), Theme::oryn());
        QCOMPARE(object->property("stroke").value<QColor>(), Theme::stroke());
        QCOMPARE(object->property("width").toInt(), Theme::panelWidth() + Theme::bulgeWidth());
        QCOMPARE(object->property("stiffness").toDouble(), Theme::springStiffness());
        QCOMPARE(object->property("wait").toDouble(), SettingsStore::shared()->wakeWordCommandTimeout());
        QCOMPARE(object->property("voices").toInt(), SettingsStore::availableKokoroVoices().size());
    }

    void qmlFollowsThePanelState()
    {
        QQmlEngine engine;
        PanelState state;
        engine.rootContext()->setContextProperty(QStringLiteral("testPanel"), &state); // test-only injection
        auto object = create(engine, R"(
            import QtQml
            QtObject {
                property bool open: testPanel.isExpanded
                function enter() { testPanel.hoverChanged(true) }
                function pin() { testPanel.isPinned = true }
            })");
        QVERIFY(object);
        QCOMPARE(object->property("open").toBool(), false);
        QMetaObject::invokeMethod(object.get(), "enter");
        QVERIFY(state.isExpanded());
        QCOMPARE(object->property("open").toBool(), true);
        QMetaObject::invokeMethod(object.get(), "pin");
        QVERIFY(state.isPinned());
        state.collapseNow();
        QCOMPARE(object->property("open").toBool(), false);
    }
};

KESTRIN_GUI_TEST_MAIN(ThemeTest)
#include "tst_theme.moc"
