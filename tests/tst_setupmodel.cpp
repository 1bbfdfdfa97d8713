// The setup model against the test engine, with fake locations, starter, desktop and permissions.

#include "AgentModel.h"
#include "OllamaClient.h"
#include "OllamaTypes.h"
#include "Permissions.h"
#include "SetupModel.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QSignalSpy>

using namespace std::chrono_literals;
using Reply = TestEngine::Reply;
using State = SetupModel::OllamaState;
using Kind = SetupModel::EngineApplication::Kind;
using Authorization = Permissions::Authorization;

namespace {

const QString text = ModelCatalog::text;
const QString vision = ModelCatalog::vision;

struct World
{
    QList<QStringList> started; // program first, then its arguments
    QList<QUrl> opened;
    int voiceSettings = 0;
    int screenAsks = 0;
    int screenSettings = 0;
};

/// Locations under @p dir; @p present names those that exist (cliPlainFile, cliFolder: unusable).
SetupModel::Locations locationsIn(const QString &dir, const QStringList &present)
{
    SetupModel::Locations where;
    where.applications = {dir + "/none/Ollama.app", dir + "/Applications/Ollama.app"};
    where.userUnits = {dir + "/user/masked/ollama.service", dir + "/user/ollama.service"};
    where.systemUnits = {dir + "/system/ollama.service"};
    where.commandLines = {dir + "/plain/ollama", dir + "/folder/ollama", dir + "/bin/ollama"};
    auto file = [](const QString &path, bool executable = false) {
        TestSupport::writeAll(path, "x\n");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | (executable ? QFile::ExeOwner : QFile::Permissions()));
    };
    for (const QString &kind : present) {
        if (kind == "app")
            QDir().mkpath(where.applications[1] + "/Contents");
        else if (kind == "userUnit")
            file(where.userUnits[1]);
        else if (kind == "maskedUserUnit")
            QDir().mkpath(dir + "/user/masked"), QFile::link("/dev/null", where.userUnits[0]);
        else if (kind == "systemUnit")
            file(where.systemUnits[0]);
        else if (kind == "cli")
            file(where.commandLines[2], true);
        else if (kind == "cliPlainFile")
            file(where.commandLines[0]);
        else if (kind == "cliFolder")
            QDir().mkpath(where.commandLines[1]);
        else
            qFatal("unknown location kind %s", qPrintable(kind));
    }
    return where;
}

struct StateCase { bool engineUp; QStringList installed, present; State state; bool textIn, visionIn, ready; };
struct LocationCase { QStringList present; Kind kind; QString relativePath /* empty: no application */, cli; QStringList started; };
struct ScreenCase { bool allowed, askedBefore; int asks, settings; bool askedAfter; };

struct FakePermissions
{
    Authorization microphone = Authorization::authorized;
    Authorization speech = Authorization::authorized;
    bool screenAllowed = true;
    bool grantMicrophone = true;
    int speechRequests = 0;

    void install()
    {
        Permissions::Sources sources;
        sources.microphone = [this] { return microphone; };
        sources.speech = [this] { return speech; };
        sources.screenAllowed = [this] { return screenAllowed; };
        sources.requestSpeech = [this](std::function<void(bool)> done) {
            ++speechRequests;
            speech = Authorization::authorized;
            done(true);
        };
        sources.requestMicrophone = [this](std::function<void(bool)> done) {
            microphone = grantMicrophone ? Authorization::authorized : Authorization::denied;
            done(grantMicrophone);
        };
        Permissions::setSources(sources);
    }
};

} // namespace

class SetupModelTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEngine> m_engine;
    quint16 m_port = 0;
    QTemporaryDir m_dir;
    World m_world;
    FakePermissions m_permissions;

    void startEngine()
    {
        if (m_engine)
            return;
        m_engine = std::make_unique<TestEngine>();
        QVERIFY(m_engine->listen(m_port));
        m_port = m_engine->port();
    }

    std::unique_ptr<SetupModel> makeModel(const QStringList &present = {"cli"})
    {
        SetupModel::Platform platform;
        platform.locations = locationsIn(m_dir.path(), present);
        World *world = &m_world;
        platform.startProcess = [world](const QString &program, const QStringList &arguments) {
            world->started.append(QStringList{program} + arguments);
        };
        platform.openUrl = [world](const QUrl &url) { world->opened.append(url); };
        platform.openVoiceSettings = [world] { ++world->voiceSettings; };
        platform.requestScreenAccess = [world] { ++world->screenAsks; return false; };
        platform.openScreenSettings = [world] { ++world->screenSettings; };
        platform.startCheckInterval = 1ms;
        platform.screenRecheckDelay = 1ms;
        return std::make_unique<SetupModel>(platform);
    }

    std::unique_ptr<SetupModel> refreshedModel(const QStringList &present = {"cli"})
    {
        auto model = makeModel(present);
        refreshed(*model);
        return model;
    }
    static void refreshed(SetupModel &model)
    {
        QSignalSpy done(&model, &SetupModel::refreshed);
        model.refresh();
        QTRY_COMPARE(done.count(), 1);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        startEngine();
        qputenv("OLLAMA_HOST", m_engine->ollamaHost());
        QCOMPARE(OllamaClient::baseURL().port(), int(m_port));
    }

    void init()
    {
        startEngine();
        m_engine->clearScripts();
        m_engine->clearRequests();
        m_engine->setInstalledModels({text, vision + ":latest"});
        m_engine->setUnpullable({});
        m_world = World();
        m_permissions = FakePermissions();
        m_permissions.install();
        UserDefaults::standard().remove(SetupModel::askedScreenAccessKey);
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void cleanup() { Permissions::setSources({}); }

    void checkingUntilTheFirstRefreshWhichRereadsPermissions()
    {
        m_permissions.speech = Authorization::notDetermined;
        m_permissions.screenAllowed = false;
        auto model = makeModel();
        QCOMPARE(model->ollama(), State::checking);
        QVERIFY(!model->engineReady() && !model->textInstalled() && !model->visionInstalled());
        QCOMPARE(model->voice(), PermissionState::notDetermined);
        QCOMPARE(model->screen(), PermissionState::notDetermined);

        m_permissions.speech = Authorization::authorized;
        m_permissions.screenAllowed = true;
        QSignalSpy voiceChanged(model.get(), &SetupModel::voiceChanged);
        QSignalSpy readyChanged(model.get(), &SetupModel::engineReadyChanged);
        refreshed(*model);
        QCOMPARE(model->voice(), PermissionState::granted);
        QCOMPARE(model->screen(), PermissionState::granted);
        QCOMPARE(model->property("ollama").value<State>(), State::running);
        QCOMPARE(voiceChanged.count(), 1);
        QCOMPARE(readyChanged.count(), 1);
    }

    void stateTable_data()
    {
        QTest::addColumn<StateCase>("c");
        const QStringList none, untagged{text, vision}, cli{"cli"};
        QTest::newRow("running, exact text name, vision with :latest") << StateCase{true, {text, vision + ":latest"}, none, State::running, true, true, true};
        QTest::newRow("running, vision without a tag") << StateCase{true, untagged, none, State::running, true, true, true};
        QTest::newRow("running, other tags of both") << StateCase{true, {"llama3.2:latest", vision + ":v2"}, none, State::running, false, false, false};
        QTest::newRow("down, command line present") << StateCase{false, untagged, cli, State::notRunning, false, false, false};
        QTest::newRow("down, only unusable files") << StateCase{false, none, {"cliPlainFile", "cliFolder", "maskedUserUnit"}, State::notInstalled, false, false, false};
    }
    void stateTable()
    {
        QFETCH(StateCase, c);
        m_engine->setInstalledModels(c.installed);
        if (!c.engineUp)
            m_engine.reset();
        auto model = refreshedModel(c.present);
        QCOMPARE(model->ollama(), c.state);
        QCOMPARE(model->textInstalled(), c.textIn);
        QCOMPARE(model->visionInstalled(), c.visionIn);
        QCOMPARE(model->engineReady(), c.ready);
    }

    void locationOrderAndStart_data()
    {
        QTest::addColumn<LocationCase>("c");
        const QString cli = m_dir.path() + "/bin/ollama";
        QTest::newRow("bundle before units: opened") << LocationCase{{"app", "userUnit", "systemUnit", "cli"}, Kind::bundle, "/Applications/Ollama.app", "/bin/ollama", {}};
        QTest::newRow("user unit before system unit, never sudo")
            << LocationCase{{"userUnit", "systemUnit", "cli"}, Kind::userUnit, "/user/ollama.service", "/bin/ollama", {"systemctl", "--user", "start", "ollama"}};
        QTest::newRow("masked user unit skipped, system unit with the user's rights")
            << LocationCase{{"maskedUserUnit", "systemUnit"}, Kind::systemUnit, "/system/ollama.service", "", {"systemctl", "start", "ollama"}};
        QTest::newRow("command line serves, unusable candidates skipped")
            << LocationCase{{"cliPlainFile", "cliFolder", "cli"}, Kind::bundle, "", "/bin/ollama", {cli, "serve"}};
        QTest::newRow("nothing to start") << LocationCase{{}, Kind::bundle, "", "", {}};
    }
    void locationOrderAndStart()
    {
        QFETCH(LocationCase, c);
        const auto &[present, kind, relativePath, cli, started] = c;
        const auto where = locationsIn(m_dir.path(), present);
        const auto application = SetupModel::ollamaApplication(where);
        const bool bundle = application && kind == Kind::bundle;
        QCOMPARE(application ? application->path : QString(), relativePath.isEmpty() ? QString() : m_dir.path() + relativePath);
        QCOMPARE(SetupModel::ollamaAppURL(where), application ? std::optional(QUrl::fromLocalFile(application->path)) : std::nullopt);
        QVERIFY(!application || application->kind == kind);
        QCOMPARE(SetupModel::ollamaCLIPath(where).value_or(QString()), cli.isEmpty() ? QString() : m_dir.path() + cli);

        // The engine already answers: the checks end after the first refresh.
        auto model = makeModel(present);
        QSignalSpy starting(model.get(), &SetupModel::isStartingOllamaChanged);
        model->startOllama();
        QVERIFY(model->isStartingOllama());
        QCOMPARE(m_world.started, started.isEmpty() ? QList<QStringList>{} : QList<QStringList>{started});
        QCOMPARE(m_world.opened, bundle ? QList<QUrl>{QUrl::fromLocalFile(application->path)} : QList<QUrl>{});
        QTRY_VERIFY(!model->isStartingOllama());
        QCOMPARE(m_engine->requests("/api/tags").size(), 1);
        QCOMPARE(model->ollama(), State::running);
        QCOMPARE(starting.count(), 2);
    }

    void startOllamaChecksUntilAnswerOrTen_data()
    {
        QTest::addColumn<int>("upAfter"), QTest::addColumn<int>("checks"), QTest::addColumn<State>("state"); // upAfter 0: never
        QTest::newRow("comes up during the third check's wait") << 3 << 4 << State::running;
        QTest::newRow("never: gives up after ten") << 0 << 10 << State::notRunning;
    }
    void startOllamaChecksUntilAnswerOrTen()
    {
        QFETCH(int, upAfter); QFETCH(int, checks); QFETCH(State, state);
        m_engine.reset();
        auto model = makeModel();
        QSignalSpy refreshes(model.get(), &SetupModel::refreshed);
        connect(model.get(), &SetupModel::refreshed, this, [&] {
            if (--upAfter == 0)
                startEngine();
        });
        model->startOllama();
        QTRY_VERIFY(!model->isStartingOllama());
        QCOMPARE(refreshes.count(), checks);
        QCOMPARE(model->ollama(), state);
        QCOMPARE(m_world.started.size(), 1);
    }

    void defaultStarterDiscardsOutputAndDetaches()
    {
        const QString script = m_dir.filePath("fake-ollama");
        TestSupport::writeAll(script,
                              "#!/bin/sh\n"
                              "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2)\n"
                              "printf '%s\\n' \"$in\" \"$out\" \"$err\" \"$*\" > \"$0.out.tmp\" && mv \"$0.out.tmp\" \"$0.out\"\n"
                              "echo noise; echo more noise >&2\n");
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(SetupModel::startDetachedQuietly(script, {"serve"}));
        QTRY_VERIFY(QFile::exists(script + ".out"));
        QCOMPARE(TestSupport::readAll(script + ".out"), QByteArray("/dev/null\n/dev/null\n/dev/null\nserve\n"));
        QVERIFY(!SetupModel::startDetachedQuietly(m_dir.filePath("missing/ollama"), {"serve"}));
    }

    void monitoringFollowsTheEngineAndStops()
    {
        auto model = makeModel();
        QSignalSpy refreshes(model.get(), &SetupModel::refreshed);
        model->startMonitoring(0.01);
        QVERIFY(model->isMonitoring());
        QTRY_VERIFY(refreshes.count() >= 3);
        QCOMPARE(model->ollama(), State::running);
        m_engine.reset();
        QTRY_COMPARE(model->ollama(), State::notRunning);
        startEngine();
        QTRY_COMPARE(model->ollama(), State::running);

        // A restart replaces the loop; one left running would double the count below.
        model->startMonitoring(0);
        QTRY_VERIFY(refreshes.count() >= 5);
        model->stopMonitoring();
        QVERIFY(!model->isMonitoring());
        const qsizetype atStop = refreshes.count();
        for (int i = 0; i < 6; ++i) {
            QSignalSpy one(model.get(), &SetupModel::refreshed);
            model->refresh();
            QTRY_VERIFY(one.count() >= 1);
        }
        QVERIFY2(refreshes.count() - atStop <= 8, qPrintable(QString::number(refreshes.count() - atStop)));

        model->startMonitoring(0);
        const qsizetype restarted = refreshes.count();
        QTRY_VERIFY(refreshes.count() >= restarted + 2);
        model.reset(); // must not crash on the round under way
        QTRY_COMPARE(m_engine->openConnections(), 0);
    }

    void pullFractionOverAnnouncedLayers()
    {
        QCOMPARE(SetupModel::statusText("REMOVING any UNUSED layers"), "Removing Any Unused Layers");
        QCOMPARE(SetupModel::statusText("Pulling Layer"), "Pulling Layer"); // "pulling" is case-sensitive

        m_engine->scriptOnce("/api/pull", Reply::stream({
            R"({"status":"pulling manifest"})" "\n",
            R"({"status":"pulling aaa","digest":"sha256:aaa","total":100,"completed":50})" "\n",
            R"({"status":"pulling bbb","digest":"sha256:bbb","total":300})" "\n",
            R"({"status":"pulling bbb","digest":"sha256:bbb","total":300,"completed":300})" "\n",
            R"({"status":"pulling aaa","digest":"sha256:aaa","total":100,"completed":100})" "\n",
            R"({"status":"verifying sha256 digest"})" "\n",
            R"({"status":"writing manifest"})" "\n",
            R"({"status":"success"})" "\n",
        }));
        m_engine->setInstalledModels({text});
        connect(m_engine.get(), &TestEngine::requestReceived, this, [this](const TestEngine::Request &request) {
            if (request.path == "/api/pull")
                m_engine->setInstalledModels({text, vision + ":latest"});
        });
        auto model = refreshedModel();
        QVERIFY(!model->visionInstalled());
        QList<double> fractions;
        QStringList statuses;
        connect(model.get(), &SetupModel::progressChanged, this, [&] {
            if (model->progress().contains(vision))
                fractions.append(model->progress().value(vision));
        });
        connect(model.get(), &SetupModel::pullStatusChanged, this, [&] {
            if (model->pullStatus().contains(vision))
                statuses.append(model->pullStatus().value(vision));
        });
        QSignalSpy pulling(model.get(), &SetupModel::isPullingChanged);

        model->pull(vision);
        QVERIFY(model->isPulling());
        QCOMPARE(model->progress(), (QMap<QString, double>{{vision, 0.0}}));
        QCOMPARE(model->pullStatus(), (QMap<QString, QString>{{vision, "Starting"}}));
        QTRY_VERIFY(!model->isPulling());
        QCOMPARE(fractions, (QList<double>{0.0, 0.5, 0.125, 0.875, 1.0}));
        QCOMPARE(statuses, (QStringList{"Starting", "Downloading", "Verifying Sha256 Digest", "Writing Manifest", "Success"}));
        QVERIFY(model->progress().isEmpty() && model->pullStatus().isEmpty() && !model->pullError());
        QCOMPARE(pulling.count(), 2);
        QTRY_VERIFY(model->visionInstalled()); // the refresh after the end
        QCOMPARE(m_engine->requests("/api/pull").at(0).json().value("model").toString(), vision);
    }

    void pullOnlyWhileRunningOncePerModelAndEndedWithTheModel()
    {
        auto model = makeModel();
        model->pull(vision); // still checking
        QVERIFY(!model->isPulling() && model->progress().isEmpty());
        m_engine.reset();
        refreshed(*model);
        QCOMPARE(model->ollama(), State::notRunning);
        model->pull(vision);
        QVERIFY(!model->isPulling() && model->progress().isEmpty() && model->pullStatus().isEmpty() && !model->pullError());

        startEngine();
        m_engine->scriptOnce("/api/pull", Reply{.writes = {R"({"status":"pulling manifest"})" "\n"}, .end = Reply::End::Never});
        refreshed(*model);
        QSignalSpy progress(model.get(), &SetupModel::progressChanged);
        model->pull(vision);
        const qsizetype afterFirst = progress.count();
        model->pull(vision);
        QCOMPARE(progress.count(), afterFirst); // nothing reset
        QTRY_COMPARE(model->pullStatus().value(vision), "Downloading");
        QTRY_COMPARE(m_engine->openConnections(), 1);
        QCOMPARE(m_engine->requests("/api/pull").size(), 1);
        model.reset(); // destroying the model ends its downloads
        QTRY_COMPARE(m_engine->openConnections(), 0);
    }

    void failedPull_data()
    {
        QTest::addColumn<int>("how"), QTest::addColumn<QString>("description");
        QTest::newRow("server error status") << 0 << OllamaError::badResponse(500).errorDescription();
        QTest::newRow("connection lost mid-stream") << 1 << OllamaError::unreachable().errorDescription();
        QTest::newRow("name rejected inside the stream") << 2 << SetupModel::incompleteDownloadText;
    }
    void failedPull()
    {
        QFETCH(int, how); QFETCH(QString, description);
        auto model = refreshedModel();
        if (how == 0)
            m_engine->scriptOnce("/api/pull", Reply::json(500, {{"error", "boom"}}));
        else if (how == 1)
            m_engine->scriptOnce("/api/pull", Reply{.writes = TestEngine::pullLines(vision).mid(0, 4), .end = Reply::End::CloseMidBody});
        else
            m_engine->setUnpullable({vision});

        QSignalSpy refreshes(model.get(), &SetupModel::refreshed);
        model->pull(vision);
        QVERIFY(model->progress().contains(vision));
        QTRY_VERIFY(!model->isPulling());
        QCOMPARE(model->pullError().value_or("(absent)"), "Couldn't download " + vision + ": " + description);
        QVERIFY(!model->progress().contains(vision) && !model->pullStatus().contains(vision));
        QTRY_COMPARE(refreshes.count(), 1);

        // The next accepted download clears it; the error stays until then.
        startEngine();
        m_engine->setUnpullable({});
        refreshed(*model);
        QVERIFY(model->pullError());
        QSignalSpy errorChanged(model.get(), &SetupModel::pullErrorChanged);
        model->pull(vision);
        QVERIFY(!model->pullError());
        QCOMPARE(errorChanged.count(), 1);
        QTRY_VERIFY(!model->isPulling());
        QVERIFY(!model->pullError());
    }

    void voiceRequest_data()
    {
        QTest::addColumn<bool>("refused"), QTest::addColumn<bool>("grantMicrophone"); // refused before: the settings open instead
        QTest::addColumn<bool>("posted"); // voiceAccessGranted, after the refresh
        QTest::newRow("refused before: settings") << true << true << false;
        QTest::newRow("both granted: posted") << false << true << true;
        QTest::newRow("microphone refused: nothing posted") << false << false << false;
    }
    void voiceRequest()
    {
        QFETCH(bool, refused); QFETCH(bool, grantMicrophone); QFETCH(bool, posted);
        m_permissions.speech = refused ? Authorization::denied : Authorization::notDetermined;
        m_permissions.microphone = Authorization::notDetermined;
        m_permissions.grantMicrophone = grantMicrophone;
        auto model = makeModel();
        QSignalSpy refreshes(model.get(), &SetupModel::refreshed);
        using Posts = QList<std::pair<qsizetype, PermissionState>>; // refreshes done and voice state at each post
        Posts seen;
        connect(AppNotifier::shared(), &AppNotifier::voiceAccessGranted, model.get(),
                [&] { seen.append({refreshes.count(), model->voice()}); });
        model->requestVoice();
        QCOMPARE(m_world.voiceSettings, refused ? 1 : 0);
        QCOMPARE(m_permissions.speechRequests, refused ? 0 : 1);
        if (!refused) {
            QTRY_COMPARE(refreshes.count(), 1);
            QCOMPARE(model->voice(), posted ? PermissionState::granted : PermissionState::denied);
        }
        QTest::qWait(20);
        QCOMPARE(seen, (posted ? Posts{{1, PermissionState::granted}} : Posts()));
    }

    void screenRequest_data()
    {
        QTest::addColumn<ScreenCase>("c");
        QTest::newRow("refused, never asked: asks") << ScreenCase{false, false, 1, 0, true};
        QTest::newRow("refused, asked before: settings") << ScreenCase{false, true, 0, 1, true};
        QTest::newRow("allowed: settings") << ScreenCase{true, false, 0, 1, false};
    }
    void screenRequest()
    {
        QFETCH(ScreenCase, c);
        const auto &[allowed, askedBefore, asks, settings, askedAfter] = c;
        m_permissions.screenAllowed = allowed;
        if (askedBefore)
            UserDefaults::standard().set(SetupModel::askedScreenAccessKey, true);
        auto model = makeModel();
        QSignalSpy refreshes(model.get(), &SetupModel::refreshed);
        model->requestScreen();
        QCOMPARE(m_world.screenAsks, asks);
        QCOMPARE(m_world.screenSettings, settings);
        QCOMPARE(UserDefaults::standard().boolean(SetupModel::askedScreenAccessKey).value_or(false), askedAfter);
        QTRY_COMPARE(refreshes.count(), 1); // the state is read again shortly after
    }
};

KESTRIN_TEST_MAIN(SetupModelTest)
#include "tst_setupmodel.moc"
