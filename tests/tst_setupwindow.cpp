// The setup and settings windows: the rows each state gives, and the windows under the offscreen
// platform against the test engine (a real download with progress, a failed one, the bottom
// button, one window per controller, the settings bound to the store).

#include "AgentModel.h"
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
#include "AppPaths.h"

#include <QGuiApplication>
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

QtMessageHandler previousHandler = nullptr;

// Offscreen cannot raise or activate windows; its complaints would bury the rest.
void quietOffscreen(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!message.startsWith(QLatin1String("This plugin does not support")))
        previousHandler(type, context, message);
}

// The visible top-level windows showing a view called @p name.
int windowsShowing(const char *name)
{
    int count = 0;
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        auto *view = qobject_cast<QQuickView *>(window);
        if (view && view->isVisible() && view->rootObject() && view->rootObject()->objectName() == QLatin1String(name))
            ++count;
    }
    return count;
}

void click(QQuickItem *button)
{
    QVERIFY(button && button->isVisible());
    QVERIFY(QMetaObject::invokeMethod(button, "clicked"));
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
        previousHandler = qInstallMessageHandler(quietOffscreen);
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
        QCOMPARE(SetupRows::engine(facts)[1].detail, "llama3.2:3b, 2.0 GB. Powers Oryn and Tarvik.");
        QCOMPARE(SetupRows::engine(facts)[2].detail, "moondream, 1.7 GB. Lets Kestrin see your screen.");
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

    void setupWindowDownloadsAndIsDoneOnce()
    {
        m_engine.setInstalledModels({});
        m_engine.setStreamInterval(120ms); // the download takes about a second
        QTemporaryDir dir;
        UserDefaults defaults(dir.filePath("defaults.json"));
        SetupModel model(quietPlatform(&m_opened));
        SetupWindowController controller(&defaults);

        const qsizetype asked = m_engine.requests("/api/tags").size();
        controller.show(&model);
        QQuickView *view = controller.window();
        QVERIFY(view && view->isVisible());
        QCOMPARE(view->size(), QSize(500, 600));
        QTRY_VERIFY(m_engine.requests("/api/tags").size() > asked); // refreshed on appearing
        QTRY_COMPARE(model.ollama(), State::running);

        // The engine runs without models: the chat model offers its download, the button says Close.
        QQuickItem *chat = row(view, "Chat model");
        QVERIFY(chat);
        QCOMPARE(button(chat), "Download");
        QQuickItem *done = find(view->rootObject(), "doneButton");
        QCOMPARE(done->property("text").toString(), "Close");

        // Shown again: still one window, the same one.
        controller.show(&model);
        QCOMPARE(controller.window(), view);
        QCOMPARE(windowsShowing("setupView"), 1);

        // The download: spinner and a bar that moves, no button; then the check mark.
        click(find(chat, "action"));
        QTRY_COMPARE(chat->property("status").toString(), "working");
        QCOMPARE(button(chat), QString());
        QQuickItem *bar = find(chat, "progressBar");
        QQuickItem *fill = find(chat, "progressFill");
        QVERIFY(bar->isVisible());
        QList<double> widths;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     const double w = fill->width();
                                     if (widths.isEmpty() || widths.last() != w)
                                         widths << w;
                                     return model.progress().isEmpty();
                                 }()),
                                 10000);
        // Distinct widths while downloading (the bar moves; a new layer may pull it back).
        widths.removeIf([](double w) { return w <= 0; });
        QVERIFY2(widths.size() >= 3, qPrintable(QString::number(widths.size())));
        QTRY_COMPARE(chat->property("status").toString(), "ok");
        QVERIFY(!bar->isVisible());
        QCOMPARE(find(chat, "symbol")->property("name").toString(), "checkmark.circle.fill");
        QTRY_COMPARE(done->property("text").toString(), "Start using Kestrin AI");

        // The bottom button records that setup was seen and closes the window.
        click(done);
        QCOMPARE(defaults.boolean(Orchestrator::didSeeSetupKey), std::optional<bool>(true));
        QVERIFY(!controller.window());
        QTRY_COMPARE(windowsShowing("setupView"), 0);
        m_engine.setStreamInterval(0ms);
    }

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
        QTRY_COMPARE(model.ollama(), State::running);
        QCOMPARE(find(view->rootObject(), "doneButton")->property("text").toString(), "Start using Kestrin AI");

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

        // Closed with the window's own button, then shown again: a fresh window.
        controller.hide();
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
};

int main(int argc, char *argv[])
{
    TestSupport::isolateHome();
    QGuiApplication app(argc, argv);
    SetupWindowTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_setupwindow.moc"
