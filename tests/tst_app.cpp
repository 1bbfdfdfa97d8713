// The program itself, as a child process: launch line, clean quit on signals, private files.

#include "TestSupport.h"

#include <QImage>
#include <QLocalServer>
#include <QRegularExpression>

#include <csignal>

using namespace TestSupport;

class AppTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_homes;

    static void launch(QProcess &program, const QString &home, const QStringList &arguments = {})
    {
        program.setProcessEnvironment(childEnvironment(home));
        program.start(QStringLiteral(KESTRIN_PROGRAM), arguments);
        QVERIFY(program.waitForStarted(10000));
    }

private slots:
    void launchesLogsAndQuitsOnSignal_data()
    {
        QTest::addColumn<int>("signal"), QTest::addColumn<bool>("loose"); // loose: an existing folder others may read
        QTest::newRow("SIGTERM, existing folder tightened") << int(SIGTERM) << true;
        QTest::newRow("SIGINT") << int(SIGINT) << false;
    }
    void launchesLogsAndQuitsOnSignal()
    {
        QFETCH(int, signal); QFETCH(bool, loose);
        const QString home = m_homes.filePath(QString::number(signal));
        const QString support = home + QStringLiteral("/data/Kestrin AI"), log = support + QStringLiteral("/kestrin.log");
        if (loose) {
            QVERIFY(QDir().mkpath(support));
            QVERIFY(QFile::setPermissions(support, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
            writeAll(log, "[old] line\n");
            QVERIFY(QFile::setPermissions(log, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        }
        QProcess program;
        launch(program, home);
        const QString launchLine = QStringLiteral("=== Kestrin AI 1.0 launched (pid %1) ===").arg(program.processId());
        QTRY_VERIFY_WITH_TIMEOUT(QString::fromUtf8(readAll(log)).contains(launchLine), 20000);
        const QRegularExpression shape(QStringLiteral(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] === Kestrin AI 1\.0 launched \(pid \d+\) ===$)"));
        const QStringList lines = QString::fromUtf8(readAll(log)).split(u'\n');
        QCOMPARE(lines.filter(QStringLiteral("launched")).size(), 1);
        QVERIFY(shape.match(lines.filter(QStringLiteral("launched")).first()).hasMatch());
        QCOMPARE(lines.first() == "[old] line", loose);

        ::kill(pid_t(program.processId()), signal);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(modeOf(support), 0700);
        QCOMPARE(modeOf(log), 0600);
    }

    void exportsTheIconSetWithoutADisplay()
    {
        const QString folder = m_homes.filePath(QStringLiteral("icons/nested"));
        QProcess program;
        QProcessEnvironment environment = childEnvironment(m_homes.filePath(QStringLiteral("icons")));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")); // would fail if it were needed
        program.setProcessEnvironment(environment);
        QDir().mkpath(folder);
        writeAll(folder + QStringLiteral("/icon_16x16.png"), "not a picture");
        for (int round = 0; round < 2; ++round) { // both overwrite
            program.start(QStringLiteral(KESTRIN_PROGRAM), {QStringLiteral("--export-icon"), folder});
            QVERIFY(program.waitForFinished(20000));
            QCOMPARE(program.exitCode(), 0);
        }
        const QStringList files = QDir(folder).entryList({QStringLiteral("*.png")});
        QCOMPARE(files.size(), 10);
        QCOMPARE(QImage(folder + QStringLiteral("/icon_512x512@2x.png")).size(), QSize(1024, 1024));
        QCOMPARE(QImage(folder + QStringLiteral("/icon_16x16.png")).size(), QSize(16, 16));

        // Nothing could be written: said so, and not reported as success.
        program.start(QStringLiteral(KESTRIN_PROGRAM), {QStringLiteral("--export-icon"), QStringLiteral("/proc/no/such")});
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 1);
        QVERIFY(program.readAllStandardError().contains("Could not write 10 of 10 icons"));
    }

    void secondLaunchHandsItsFlagsToTheFirst()
    {
        const QString home = m_homes.filePath(QStringLiteral("twice"));
        const QString log = home + QStringLiteral("/data/Kestrin AI/kestrin.log");
        QProcess first;
        launch(first, home);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("launched"), 20000);

        QProcess second;
        launch(second, home, {QStringLiteral("--tasks"), QStringLiteral("--map=sao paulo"), QStringLiteral("--demo")});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("Launched again with: --demo --tasks --map=sao paulo\n"), 10000);
        QCOMPARE(readAll(log).count("launched (pid"), 1); // the second never started a program of its own
        QVERIFY(first.state() == QProcess::Running);

        // A socket left behind by a program that died answers nobody: the next launch runs.
        ::kill(pid_t(first.processId()), SIGKILL);
        QVERIFY(first.waitForFinished(10000));
        QVERIFY(QFileInfo::exists(home + QStringLiteral("/data/Kestrin AI/instance.sock")));
        QProcess third;
        launch(third, home);
        QTRY_COMPARE_WITH_TIMEOUT(readAll(log).count("launched (pid"), 2, 20000);
        third.terminate();
        QVERIFY(third.waitForFinished(10000));
        QCOMPARE(third.exitCode(), 0);
        QCOMPARE(modeOf(home + QStringLiteral("/data/Kestrin AI")), 0700);
    }

    void aRunningProgramThatDoesNotAnswerIsNotDuplicated()
    {
        const QString home = m_homes.filePath(QStringLiteral("busy"));
        const QString support = home + QStringLiteral("/data/Kestrin AI");
        QVERIFY(QDir().mkpath(support));
        QLocalServer busy; // accepts connections and never reads them
        QVERIFY(busy.listen(support + QStringLiteral("/instance.sock")));
        QProcess second;
        launch(second, home, {QStringLiteral("--tasks")});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        const QByteArray log = readAll(support + QStringLiteral("/kestrin.log"));
        QVERIFY(!log.contains("launched (pid"));
        QVERIFY(log.contains("the running program did not answer"));
    }
};

KESTRIN_TEST_MAIN(AppTest)
#include "tst_app.moc"
