// The program from a terminal: status, pull and help, as a child process against the test
// engine (which answers from this process's event loop, so the child is waited for without
// blocking it).

#include "AgentModel.h"
#include "ConversationStore.h"
#include "OllamaTypes.h"
#include "TestEngine.h"
#include "TestSupport.h"

#include <QJsonArray>

struct Run { int status = -1; QString out, err; };

class TerminalTest : public QObject
{
    Q_OBJECT

    TestEngine m_engine;
    QTemporaryDir m_home;

    Run run(const QStringList &arguments, const QByteArray &ollamaHost)
    {
        QProcess program;
        QProcessEnvironment env = TestSupport::childEnvironment(m_home.path());
        env.insert(QStringLiteral("OLLAMA_HOST"), QString::fromLatin1(ollamaHost));
        env.remove(QStringLiteral("DISPLAY"));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(KESTRIN_PROGRAM), arguments);
        Run result;
        if (!program.waitForStarted(10000) || !QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, 30000))
            return result;
        result.status = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
        result.out = QString::fromUtf8(program.readAllStandardOutput());
        result.err = QString::fromUtf8(program.readAllStandardError());
        return result;
    }

private slots:
    void initTestCase() { QVERIFY(m_engine.listen()); }

    void help()
    {
        const Run r = run({"--help"}, m_engine.ollamaHost());
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
        const Run r = run({"status"}, m_engine.ollamaHost());
        QCOMPARE(r.status, exitStatus);
        QVERIFY2(r.out.contains(QStringLiteral("Engine: running at http://%1\n").arg(QString::fromLatin1(m_engine.ollamaHost()))), qPrintable(r.out));
        QVERIFY(r.out.contains(ModelCatalog::text + QStringLiteral(" (text): installed\n")));
        QVERIFY(r.out.contains(QStringLiteral("moondream (vision): %1\n").arg(vision)));
    }

    void askStreamsTheReplyAndSavesIt()
    {
        m_engine.setChatReply(TestEngine::words(QStringLiteral("Tokyo has about fourteen million people.")));
        const Run r = run({"ask", "how big", "is tokyo?"}, m_engine.ollamaHost());
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringLiteral("Tokyo has about fourteen million people.\n"));
        const ConversationSnapshot saved = ConversationStore::load(m_home.filePath(QStringLiteral("data/Kestrin AI/conversations.json")));
        QCOMPARE(saved.orynMessages.size(), 2);
        QCOMPARE(saved.orynMessages.first().text(), QStringLiteral("how big is tokyo?"));
        QCOMPARE(saved.orynHistory.size(), 2);
        // The next question carries the saved history.
        m_engine.clearRequests();
        QCOMPARE(run({"ask", "and paris?"}, m_engine.ollamaHost()).status, 0);
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
        const Run r = run({"pull", "moondream"}, m_engine.ollamaHost());
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
        const Run r = run({"pull", "nothing-such"}, m_engine.ollamaHost());
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(QStringLiteral("Couldn't download nothing-such: ") + OllamaError::badResponse(500).errorDescription()), qPrintable(r.err));
        QCOMPARE(run({"pull"}, m_engine.ollamaHost()).status, 64);
    }
};

KESTRIN_TEST_MAIN(TerminalTest)
#include "tst_terminal.moc"
