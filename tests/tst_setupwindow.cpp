// The setup and settings windows: the rows each state gives, the windows under the offscreen
// platform against the test engine (a failed download, the bottom button, one window per
// controller, the settings bound to the store), and the first launch of the real program on Xvfb.

#include "AgentModel.h"
#include "AppPaths.h"
#include "Orchestrator.h"
#include "SettingsStore.h"
#include "SettingsWindowController.h"
#include "SetupModel.h"
#include "SetupRows.h"
#include "SetupWindowController.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "UserDefaults.h"
#include "ViewItems.h"
#include "VoiceLocator.h"
#include "XvfbServer.h"

#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>

using namespace std::chrono_literals;
using namespace ViewItems;
using State = SetupModel::OllamaState;
using Status = SetupRow::Status;

namespace {

const QString text = ModelCatalog::text;
const QString vision = ModelCatalog::vision;

// A row as the tests write it: status, fraction (-1: none), button.
struct Expected
{
    Status status;
    double fraction;
    QString button;
};

void compareRows(const QList<SetupRow> &rows, const QList<Expected> &expected)
{
    QCOMPARE(rows.size(), expected.size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const QByteArray where = rows[i].title.toUtf8();
        QVERIFY2(rows[i].status == expected[i].status, where);
        QVERIFY2(rows[i].fraction.value_or(-1) == expected[i].fraction, where);
        QVERIFY2(rows[i].actionTitle == expected[i].button, where + ": " + rows[i].actionTitle.toUtf8());
    }
}

SetupModel::Platform quietPlatform(QList<QUrl> *opened)
{
    SetupModel::Platform platform;
    platform.startProcess = [](const QString &, const QStringList &) { };
    platform.openUrl = [opened](const QUrl &url) { opened->append(url); };
    platform.openVoiceSettings = [] { };
    platform.requestScreenAccess = [] { return false; };
    platform.openScreenSettings = [] { };
    return platform;
}

void click(QQuickItem *button)
{
    QVERIFY(button && button->isVisible());
    QVERIFY(QMetaObject::invokeMethod(button, "clicked"));
}

bool near(QRgb pixel, QRgb colour)
{
    return qAbs(qRed(pixel) - qRed(colour)) < 40 && qAbs(qGreen(pixel) - qGreen(colour)) < 40
        && qAbs(qBlue(pixel) - qBlue(colour)) < 40;
}

// The status marks of a setup window seen on screen: their centres' heights and colours, top to
// bottom, read down the column through the marks' centres.
struct Mark
{
    int y;
    QString kind; // "ok", "warn" or "other" (the grey circle, the spinner)
};

QList<Mark> marksIn(const QImage &screen, int x, int top, int bottom)
{
    QList<Mark> marks;
    int start = -1;
    QString kind;
    for (int y = top; y <= bottom + 1; ++y) {
        // Marks are the only things drawn in this column over the window's dark cards.
        bool lit = false;
        QString here = QStringLiteral("other");
        for (int dx = -8; dx <= 8 && y <= bottom; ++dx) {
            const QRgb pixel = screen.pixel(x + dx, y);
            if (near(pixel, 0x4ADE80))
                here = QStringLiteral("ok"), lit = true;
            else if (near(pixel, 0xFBBF24))
                here = QStringLiteral("warn"), lit = true;
            else if (qGray(pixel) > 70)
                lit = true;
        }
        if (lit && start < 0)
            start = y, kind = here;
        else if (lit && here != u"other")
            kind = here;
        else if (!lit && start >= 0) {
            if (y - start >= 10) // not a line of text
                marks.append({(start + y) / 2, kind});
            start = -1;
        }
    }
    return marks;
}

// How many pixels of the brand colour a row of @p screen has between @p left and @p right.
int brandPixels(const QImage &screen, int y, int left, int right)
{
    int count = 0;
    for (int x = left; x <= right; ++x)
        count += near(screen.pixel(x, y), 0x7AA2FF);
    return count;
}

} // namespace

class SetupWindowTest : public QObject
{
    Q_OBJECT

    TestEngine m_engine;
    QList<QUrl> m_opened;

    static QQuickItem *row(QQuickView *view, const QString &title) { return find(view->rootObject(), "setupRow:" + title); }
    static QString button(QQuickItem *row)
    {
        QQuickItem *action = find(row, "action");
        return action && action->isVisible() ? action->property("text").toString() : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_engine.listen());
        qputenv("OLLAMA_HOST", m_engine.ollamaHost());
    }

    void rowsFollowTheState()
    {
        SetupFacts facts;
        // Until the first answer: the spinner, nothing to press; the models wait on the engine.
        compareRows(SetupRows::engine(facts), {{Status::working, -1, ""}, {Status::warn, -1, ""}, {Status::warn, -1, ""}});

        // Installed but not running: "Start", and no download can be offered.
        facts.ollama = State::notRunning;
        compareRows(SetupRows::engine(facts), {{Status::warn, -1, "Start"}, {Status::warn, -1, ""}, {Status::warn, -1, ""}});
        QCOMPARE(SetupRows::engine(facts)[0].detail, "Installed, but not running.");

        facts.ollama = State::notInstalled;
        QCOMPARE(SetupRows::engine(facts)[0].actionTitle, "Get Ollama");
        QCOMPARE(SetupRows::engine(facts)[0].action, SetupRow::Action::openOllamaDownload);

        // Running: a missing model offers "Download", a downloading one shows its fraction only.
        facts.ollama = State::running;
        facts.visionInstalled = true;
        compareRows(SetupRows::engine(facts), {{Status::ok, -1, ""}, {Status::todo, -1, "Download"}, {Status::ok, -1, ""}});
        facts.progress = {{text, 0.25}};
        compareRows(SetupRows::engine(facts), {{Status::ok, -1, ""}, {Status::working, 0.25, ""}, {Status::ok, -1, ""}});

        // Access: voice by its three states, screen by two.
        facts.voice = PermissionState::notDetermined;
        facts.screen = PermissionState::notDetermined;
        compareRows(SetupRows::access(facts), {{Status::todo, -1, "Allow"}, {Status::todo, -1, "Allow"}});
        facts.voice = PermissionState::denied;
        compareRows(SetupRows::access(facts), {{Status::warn, -1, "Open Settings"}, {Status::todo, -1, "Allow"}});
        QCOMPARE(SetupRows::access(facts)[0].action, SetupRow::Action::requestVoice);
        facts.voice = PermissionState::granted;
        facts.screen = PermissionState::granted;
        compareRows(SetupRows::access(facts), {{Status::ok, -1, ""}, {Status::ok, -1, ""}});
    }

    // A real download with its bar and check mark is firstLaunch's, on screen.
    void failedDownloadIsShownUntilTheNextOne()
    {
        m_engine.setInstalledModels({text});
        m_engine.setUnpullable({vision});
        QTemporaryDir dir;
        UserDefaults defaults(dir.filePath("defaults.json"));
        SetupModel model(quietPlatform(&m_opened));
        SetupWindowController controller(&defaults);
        controller.show(&model);
        QQuickView *view = controller.window();
        QTRY_COMPARE(model.ollama(), State::running); // refreshed on appearing
        controller.show(&model);
        QCOMPARE(controller.window(), view);
        QCOMPARE(windowsShowing("setupView"), 1);
        QQuickItem *done = find(view->rootObject(), "doneButton");
        QCOMPARE(done->property("text").toString(), "Start using Kestrin AI");

        QQuickItem *visionRow = row(view, "Vision model");
        QQuickItem *error = find(view->rootObject(), "pullError");
        QVERIFY(!error->isVisible());
        click(find(visionRow, "action"));
        QTRY_VERIFY(error->isVisible());
        QVERIFY2(error->property("text").toString().startsWith("Couldn't download moondream: "),
                 qPrintable(error->property("text").toString()));
        QTRY_COMPARE(button(visionRow), "Download"); // offered again

        m_engine.setUnpullable({});
        click(find(visionRow, "action"));
        QTRY_VERIFY(!error->isVisible());
        QTRY_COMPARE(visionRow->property("status").toString(), "ok");

        // The bottom button records that setup was seen and closes the window; shown again, a
        // fresh window.
        click(done);
        QCOMPARE(defaults.boolean(Orchestrator::didSeeSetupKey), std::optional<bool>(true));
        QVERIFY(!controller.window());
        controller.show(&model);
        QVERIFY(controller.window() && controller.window() != view);
        QTRY_COMPARE(windowsShowing("setupView"), 1);
        m_engine.setInstalledModels({text, vision});
    }

    void settingsWindowEditsTheStore()
    {
        SettingsStore *settings = SettingsStore::shared();
        settings->setWakeWordCommandTimeout(7);
        settings->setShellCommandsEnabled(true);
        SettingsWindowController controller;
        int openedSetup = 0;
        controller.show([&] { ++openedSetup; });
        QQuickView *view = controller.window();
        QVERIFY(view && view->isVisible());
        QCOMPARE(view->size(), QSize(380, 500));
        controller.show([&] { ++openedSetup; });
        QCOMPARE(windowsShowing("settingsView"), 1);

        QQuickItem *root = view->rootObject();
        QCOMPARE(find(root, "timeoutValue")->property("text").toString(), "7 seconds");
        QQuickItem *slider = find(root, "timeoutSlider");
        QCOMPARE(slider->property("from").toDouble(), 3.0);
        QCOMPARE(slider->property("to").toDouble(), 15.0);
        slider->setProperty("value", 12.0);
        QVERIFY(QMetaObject::invokeMethod(slider, "moved"));
        QCOMPARE(settings->wakeWordCommandTimeout(), 12.0);
        QCOMPARE(find(root, "timeoutValue")->property("text").toString(), "12 seconds");

        QQuickItem *toggle = find(root, "shellToggle");
        QVERIFY(toggle->property("checked").toBool());
        QVERIFY(QMetaObject::invokeMethod(toggle, "toggle"));
        QVERIFY(QMetaObject::invokeMethod(toggle, "toggled"));
        QVERIFY(!settings->shellCommandsEnabled());
        settings->setShellCommandsEnabled(true); // and back from the store
        QVERIFY(toggle->property("checked").toBool());

        QQuickItem *picker = find(root, "voicePicker");
        QCOMPARE(picker->property("currentText").toString(), settings->kokoroVoice());

        // Without the voice's files the caption sends the user to the README.
        QVERIFY(!VoiceLocator::find());
        QVERIFY(find(root, "voiceCaption")->property("text").toString().startsWith("Not installed, so spoken replies use the system voice."));

        // "Check setup" closes settings first, then asks for setup.
        click(find(root, "checkSetupButton"));
        QVERIFY(!controller.window());
        QCOMPARE(openedSetup, 1);
        QTRY_COMPARE(windowsShowing("settingsView"), 0);

        // With the voice installed, the next opening says so.
        const QString voice = AppPaths::voiceDir();
        TestSupport::writeAll(voice + "/venv/bin/python3", "#!/bin/sh\n");
        QFile::setPermissions(voice + "/venv/bin/python3", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        TestSupport::writeAll(voice + "/models/" + VoiceAssets::modelFile, "x");
        TestSupport::writeAll(voice + "/models/" + VoiceAssets::voicesFile, "x");
        controller.show([] { });
        QCOMPARE(find(controller.window()->rootObject(), "voiceCaption")->property("text").toString(),
                 "Used for Tarvik and spoken replies.");
        QDir(voice).removeRecursively();
    }

    // The real program on a private X server: the first launch without an engine opens setup;
    // once the engine answers, a model is downloaded with the window's own button, and the
    // bottom button closes the window for good.
    void firstLaunch()
    {
        QVERIFY2(XvfbServer::isInstalled(), "Xvfb, xrandr, xsetroot and xcompmgr are needed (tools/packages.txt)");
        XvfbServer server;
        QVERIFY2(server.start({QSize(1280, 800)}, true), qPrintable(server.error()));
        QTemporaryDir home;
        const QProcessEnvironment env = server.environment(TestSupport::childEnvironment(home.path()));
        const auto grab = [&] { return server.screenshot(); };
        const auto click = [&](int x, int y) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.start("xdotool", {"mousemove", QString::number(x), QString::number(y), "click", "1"});
            QVERIFY(p.waitForFinished(5000) && p.exitCode() == 0);
        };
        // The window is centred: 500 x 600 at (390, 100); its marks are 44 in from its left.
        const int markX = 390 + 24 + 11, top = 160, bottom = 640;
        const auto marks = [&] { return marksIn(grab(), markX, top, bottom); };
        const auto kinds = [&](const QList<Mark> &list) {
            QStringList k;
            for (const Mark &m : list)
                k << m.kind;
            return k.join(' ');
        };

        const QImage before = grab(); // the bare screen

        // The engine's port, with nothing listening yet.
        quint16 port = 0;
        {
            TestEngine probe;
            QVERIFY(probe.listen());
            port = probe.port();
        }
        QProcess program;
        QProcessEnvironment programEnv = env;
        programEnv.insert("OLLAMA_HOST", "127.0.0.1:" + QString::number(port));
        program.setProcessEnvironment(programEnv);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        TestSupport::diesWithTheTest(program);
        program.start(KESTRIN_PROGRAM);
        auto stop = qScopeGuard([&] {
            program.terminate();
            program.waitForFinished(5000);
        });

        // Not installed: a grey circle for the engine, warnings for both models, the check mark
        // for the screen (voice depends on the machine's microphone).
        QList<Mark> seen;
        const auto engineAndScreen = [&](const char *engineSection) {
            seen = marks();
            return seen.size() == 5 && kinds(seen.mid(0, 3)) == QLatin1String(engineSection) && seen[4].kind == u"ok";
        };
        QTRY_VERIFY_WITH_TIMEOUT(engineAndScreen("other warn warn"), 20000);

        // The engine starts, without models: the next check finds it and offers the downloads.
        TestEngine engine;
        QVERIFY(engine.listen(port));
        engine.setInstalledModels({});
        engine.setStreamInterval(400ms);
        QTRY_VERIFY_WITH_TIMEOUT(engineAndScreen("ok other other"), 15000);

        // "Download" at the end of the chat model's row.
        const int chatY = seen[1].y;
        click(390 + 500 - 24 - 40, chatY + 6);
        QTRY_COMPARE_WITH_TIMEOUT(engine.requests("/api/pull").size(), 1, 5000);
        // The bar under the row's text fills as the layers come in.
        QList<int> filled;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     const QImage screen = grab();
                                     int most = 0;
                                     for (int y = chatY + 14; y <= chatY + 40; ++y)
                                         most = std::max(most, brandPixels(screen, y, markX + 20, 390 + 500 - 30));
                                     if (most > 0 && (filled.isEmpty() || filled.last() != most))
                                         filled << most;
                                     return filled.size() >= 2;
                                 }()),
                                 15000);
        QVERIFY2(filled.size() >= 2, qPrintable(QString::number(filled.size())));

        // Done: the check mark, and the bottom button turns to the brand colour
        // ("Start using Kestrin AI").
        QTRY_VERIFY_WITH_TIMEOUT(kinds(marks()).startsWith("ok ok"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(brandPixels(grab(), 100 + 600 - 24 - 8, 420, 860) > 300, 10000);

        // It closes the window and marks setup as seen.
        const QString defaults = home.filePath("config/Kestrin AI/defaults.json");
        const auto didSeeSetup = [&] {
            return QJsonDocument::fromJson(TestSupport::readAll(defaults)).object().value("didSeeSetup");
        };
        QVERIFY(didSeeSetup().isUndefined());
        click(640, 100 + 600 - 24 - 18);
        QTRY_VERIFY_WITH_TIMEOUT(didSeeSetup() == QJsonValue(true), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(grab().pixel(400, 400) == before.pixel(400, 400), 5000);
    }
};

KESTRIN_GUI_TEST_MAIN(SetupWindowTest)
#include "tst_setupwindow.moc"
