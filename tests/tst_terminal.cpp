// The program from a terminal, as child processes of the real program: status, ask, pull and
// help against the test engine (which answers from this process's event loop, so the child is
// waited for without blocking it); listen on speech made with flite, say with the test voice
// server and with the system voice under a private sound server, map with the offline place
// list; and their bad input.

#include "AgentModel.h"
#include "AppPaths.h"
#include "CommandRouter.h"
#include "ConversationStore.h"
#include "NeuralVoiceServer.h"
#include "OllamaTypes.h"
#include "SettingsStore.h"
#include "SoundServer.h"
#include "SpokenAudio.h"
#include "TestEngine.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

struct Run { int status = -1; QString out, err; };

class TerminalTest : public QObject
{
    Q_OBJECT

    const QString m_home = TestSupport::isolateHome(); // shared with the children: same settings and voice
    TestEngine m_engine;
    SoundServer m_sound;
    SpokenAudio m_audio;
    QTemporaryDir m_work;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = TestSupport::childEnvironment(m_home);
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("KESTRIN_FAKE_VOICE"), m_work.filePath("fake.json"));
        return env;
    }

    Run run(const QStringList &arguments, const QByteArray &ollamaHost = {})
    {
        QProcess program;
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("OLLAMA_HOST"), QString::fromLatin1(ollamaHost.isEmpty() ? m_engine.ollamaHost() : ollamaHost));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(KESTRIN_PROGRAM), arguments);
        Run result;
        if (!program.waitForStarted(10000) || !QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, 60000))
            return program.kill(), program.waitForFinished(), result;
        result.status = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
        result.out = QString::fromUtf8(program.readAllStandardOutput());
        result.err = QString::fromUtf8(program.readAllStandardError());
        return result;
    }

    /// Spoken parts, "~N" for N seconds of silence, after a second of it.
    QString speech(const QStringList &parts)
    {
        QStringList files{m_audio.quiet(1.0)};
        for (const QString &part : parts)
            files << (part.startsWith(u'~') ? m_audio.quiet(part.mid(1).toDouble()) : m_audio.say(part, QStringLiteral("slt")));
        return files.contains(QString()) ? QString() : m_audio.join(files, 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_engine.listen());
        QVERIFY2(SpokenAudio::toolsPresent() && SoundServer::isInstalled(), "needs flite, sox and pulseaudio");
        QVERIFY2(m_sound.start(), qPrintable(m_sound.error())); // the children's PULSE_SERVER
        TestSupport::writeAll(m_work.filePath("fake.json"), QJsonDocument(QJsonObject{{"requestLog", m_work.filePath("requests.jsonl")}}).toJson());
    }

    void help()
    {
        const Run r = run({"--help"});
        QCOMPARE(r.status, 0);
        for (const char *command : {"kestrin-ai status", "kestrin-ai listen [--wav FILE]", "kestrin-ai say TEXT", "kestrin-ai map PLACE [--print]"})
            QVERIFY2(r.out.contains(QLatin1String(command)), command);
        QVERIFY(r.out.contains(QLatin1String("--map=PLACE")));
    }

    void status_data()
    {
        QTest::addColumn<QStringList>("installed"), QTest::addColumn<int>("exitStatus"), QTest::addColumn<QString>("vision");
        QTest::newRow("both") << QStringList{ModelCatalog::text, "moondream:latest"} << 0 << "installed";
        QTest::newRow("vision missing") << QStringList{ModelCatalog::text} << 2 << "not installed";
    }

    void status()
    {
        QFETCH(QStringList, installed); QFETCH(int, exitStatus); QFETCH(QString, vision);
        m_engine.setInstalledModels(installed);
        const Run r = run({"status"});
        QCOMPARE(r.status, exitStatus);
        QVERIFY2(r.out.contains(QStringLiteral("Engine: running at http://%1\n").arg(QString::fromLatin1(m_engine.ollamaHost()))), qPrintable(r.out));
        QVERIFY(r.out.contains(ModelCatalog::text + QStringLiteral(" (text): installed\n")));
        QVERIFY(r.out.contains(QStringLiteral("moondream (vision): %1\n").arg(vision)));
    }

    void askStreamsTheReplyAndSavesIt()
    {
        m_engine.setChatReply(TestEngine::words(QStringLiteral("Tokyo has about fourteen million people.")));
        const Run r = run({"ask", "how big", "is tokyo?"});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringLiteral("Tokyo has about fourteen million people.\n"));
        const ConversationSnapshot saved = ConversationStore::load(AppPaths::conversations());
        QCOMPARE(saved.orynMessages.size(), 2);
        QCOMPARE(saved.orynMessages.first().text(), QStringLiteral("how big is tokyo?"));
        QCOMPARE(saved.orynHistory.size(), 2);
        // The next question carries the saved history.
        m_engine.clearRequests();
        QCOMPARE(run({"ask", "and paris?"}).status, 0);
        QCOMPARE(m_engine.requests("/api/chat").value(0).json().value(QStringLiteral("messages")).toArray().size(), 4);
    }

    void unreachableEngine()
    {
        auto gone = std::make_unique<TestEngine>();
        QVERIFY(gone->listen());
        const QByteArray host = gone->ollamaHost();
        gone.reset(); // nobody listens on that port any more
        const QString unreachable = OllamaError::unreachable().errorDescription();
        const Run r = run({"status"}, host);
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, unreachable + u'\n');
        const Run a = run({"ask", "hello"}, host);
        QCOMPARE(a.status, 1);
        QCOMPARE(a.out, QString());
        QCOMPARE(a.err, unreachable + u'\n');
        const Run p = run({"pull", "moondream"}, host);
        QCOMPARE(p.status, 1);
        QVERIFY2(p.err.contains("Couldn't download moondream: " + unreachable), qPrintable(p.err));
    }

    void pullShowsProgress()
    {
        m_engine.setInstalledModels({});
        const Run r = run({"pull", "moondream"});
        QCOMPARE(r.status, 0);
        const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() >= 3, qPrintable(r.out));
        QVERIFY(std::any_of(lines.cbegin(), lines.cend(), [](const QString &l) { return l.startsWith(QLatin1String("Downloading [")); }));
        QVERIFY2(lines.last().startsWith(QLatin1String("Success [####################] 100% ")), qPrintable(lines.last()));
        QVERIFY(m_engine.isInstalled(QStringLiteral("moondream")));
    }

    void pullRefused()
    {
        m_engine.scriptOnce("/api/pull", TestEngine::Reply::json(500, {{QStringLiteral("error"), QStringLiteral("nope")}}));
        const Run r = run({"pull", "nothing-such"});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(QStringLiteral("Couldn't download nothing-such: ") + OllamaError::badResponse(500).errorDescription()), qPrintable(r.err));
        QCOMPARE(run({"pull"}).status, 64);
    }
    void listen_data()
    {
        QTest::addColumn<QStringList>("parts"), QTest::addColumn<int>("window");
        QTest::addColumn<QStringList>("expected"); // "wake tarvik time|what": the word and any of those command words
        const QStringList bareThenCommand{"hey tarvik", "~4", "what time is it"};
        QTest::newRow("phrase and command") << QStringList{"hey tarvik what time is it"} << 7 << QStringList{"wake tarvik time|what"};
        // The user's window, timed as with a microphone: the command settles about 6 s after the phrase.
        QTest::newRow("bare phrase, command in a 10 s window") << bareThenCommand << 10 << QStringList{"heard tarvik", "wake tarvik time|what"};
        QTest::newRow("bare phrase, command after a 1 s window") << bareThenCommand << 1 << QStringList{"heard tarvik", "gave-up"};
        QTest::newRow("no phrase") << QStringList{"the weather is nice today"} << 7 << QStringList{};
    }
    void listen()
    {
        QFETCH(QStringList, parts); QFETCH(int, window); QFETCH(QStringList, expected);
        const QString wav = speech(parts);
        QVERIFY2(!wav.isEmpty(), qPrintable(m_audio.lastError()));
        SettingsStore::shared()->setWakeWordCommandTimeout(window);
        const qint64 logMark = QFileInfo(AppPaths::log()).size();
        const Run r = run({"listen", "--wav", wav});
        SettingsStore::shared()->setWakeWordCommandTimeout(7);
        const QString log = QString::fromUtf8(TestSupport::readAll(AppPaths::log()).mid(logMark));
        const QByteArray story = (r.out + " / " + r.err + " / " + log.split(u'\n').filter("WakeWordListener heard").join("; ")).toUtf8();
        QVERIFY2(r.status == 0, story);
        QVERIFY2(TestSupport::wakeCallsMatch(r.out.split(u'\n', Qt::SkipEmptyParts), expected), story);
        QVERIFY(log.contains("WakeWordListener session began")); // the program's listener, logging as it does
    }

    void say_data()
    {
        QTest::addColumn<bool>("neural"), QTest::addColumn<QString>("voice");
        QTest::newRow("test voice server") << true << "neural voice (am_michael)\n";
        QTest::newRow("system voice") << false << "system voice (speech-dispatcher)\n";
    }
    void say()
    {
        QFETCH(bool, neural); QFETCH(QString, voice);
        const QString voiceDir = AppPaths::voiceDir();
        QDir(voiceDir).removeRecursively();
        QFile::remove(m_work.filePath("requests.jsonl"));
        if (neural) {
            TestSupport::writeAll(voiceDir + "/models/kokoro-v1.0.onnx", "model");
            TestSupport::writeAll(voiceDir + "/models/voices-v1.0.bin", "voices");
            TestSupport::writeAll(voiceDir + "/venv/bin/python3", "#!/bin/sh\nexec python3 '" KESTRIN_FAKE_VOICE_SERVER "' \"$@\"\n");
            QFile::setPermissions(voiceDir + "/venv/bin/python3", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        // A clip of the running program waiting to be played: not the terminal's to delete.
        const QString programClip = NeuralVoiceServer::outputPath(99);
        TestSupport::writeAll(programClip, "RIFF");
        const Run r = run({"say", "Hello **there**"});
        QVERIFY2(r.status == 0, qPrintable(QStringLiteral("status %1, out: %2, err: %3").arg(r.status).arg(r.out, r.err)));
        QCOMPARE(r.out, voice);
        const QByteArray requests = TestSupport::readAll(m_work.filePath("requests.jsonl"));
        QCOMPARE(QJsonDocument::fromJson(requests).object().value("text").toString(), neural ? "Hello there" : "");
        QVERIFY(QFile::remove(programClip));
    }

    void map()
    {
        const Run found = run({"map", "paris", "--print"});
        QCOMPARE(found.status, 0);
        QCOMPARE(found.out, "Paris, France 48.85341 2.3488\n");
        const Run unknown = run({"map", "--print", "Xyzzy", "plugh"});
        QCOMPARE(unknown.status, 1);
        QCOMPARE(unknown.out, QString());
        QCOMPARE(unknown.err, CommandRouter::mapNotFoundReply("Xyzzy plugh") + '\n');

        // Without --print the globe stays until its window is closed (here: the program is ended).
        QProcess globe;
        globe.setProcessEnvironment(environment());
        globe.start(QStringLiteral(KESTRIN_PROGRAM), {"map", "tokyo"});
        QVERIFY(globe.waitForReadyRead(30000));
        QVERIFY(globe.readAllStandardOutput().startsWith("Tokyo, Japan "));
        QVERIFY(!globe.waitForFinished(500));
        ::kill(pid_t(globe.processId()), SIGTERM);
        QVERIFY(globe.waitForFinished(10000));
        QCOMPARE(globe.exitCode(), 0);
    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("arguments"), QTest::addColumn<int>("status"), QTest::addColumn<QString>("error");
        QTest::newRow("listen, no such file") << QStringList{"listen", "--wav", "/nonexistent.wav"} << 1 << "Can't read /nonexistent.wav: ";
        QTest::newRow("listen, not a WAV file") << QStringList{"listen", "--wav", KESTRIN_FAKE_VOICE_SERVER} << 1 << ": not a WAV file (";
        QTest::newRow("listen, 8 kHz") << QStringList{"listen", "--wav", "8k"} << 1 << ": not 16 kHz mono 16-bit (";
        QTest::newRow("listen, stray word") << QStringList{"listen", "now"} << 64 << "usage: kestrin-ai listen [--wav FILE]";
        QTest::newRow("say nothing") << QStringList{"say", " ** "} << 64 << "usage: kestrin-ai say TEXT";
        QTest::newRow("map nowhere") << QStringList{"map", "--print"} << 64 << "usage: kestrin-ai map PLACE [--print]";
    }
    void badInput()
    {
        QFETCH(QStringList, arguments); QFETCH(int, status); QFETCH(QString, error);
        if (arguments.last() == "8k") {
            arguments.last() = m_work.filePath("8k.wav");
            QVERIFY(QProcess::execute("sox", {"-n", "-r", "8000", "-c", "1", "-b", "16", arguments.last(), "synth", "0.5", "sine", "440"}) == 0);
        }
        const Run r = run(arguments);
        QCOMPARE(r.status, status);
        QVERIFY2(r.err.contains(error), qPrintable(r.err));
        QCOMPARE(r.out, QString());
    }
};

KESTRIN_TEST_MAIN(TerminalTest)
#include "tst_terminal.moc"
