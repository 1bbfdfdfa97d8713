#include "AppPaths.h"
#include "ShellRunner.h"
#include "TestSupport.h"

#include <QPointer>
#include <QThread>

#include <csignal>

using namespace TestSupport;

namespace {

struct Run
{
    int calls = 0;
    QString reply;
    bool onMainThread = true;
};

std::shared_ptr<Run> start(const QString &command, QObject *context)
{
    auto run = std::make_shared<Run>();
    ShellRunner::run(command, context, [run](const QString &reply) {
        ++run->calls;
        run->reply = reply;
        run->onMainThread = run->onMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    });
    return run;
}

bool finished(const std::shared_ptr<Run> &run)
{
    return QTest::qWaitFor([&] { return run->calls > 0; }, 120000);
}

/// Runs @p command to its end; the completion must come once, on the main thread.
QString reply(const QString &command)
{
    QObject context;
    const auto run = start(command, &context);
    if (!finished(run) || run->calls != 1 || !run->onMainThread)
        return QStringLiteral("<%1 calls, main thread %2>").arg(run->calls).arg(run->onMainThread);
    return run->reply;
}

qint64 logMark = 0;

/// The log's messages since the test function began, without their time stamps.
QStringList logged()
{
    QStringList messages;
    for (const QByteArray &line : readAll(AppPaths::log()).mid(logMark).split('\n')) {
        if (const qsizetype end = line.indexOf("] "); end > 0)
            messages.append(QString::fromUtf8(line.mid(end + 2)));
    }
    return messages;
}

qint64 residentKb()
{
    const QByteArray status = readAll(QStringLiteral("/proc/self/status"));
    const qsizetype at = status.indexOf("VmRSS:");
    return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLongLong();
}

/// A command printing @p piece @p times times (printf repeats its format).
QString printRepeated(const QString &piece, int times)
{
    return QStringLiteral("printf '%1%.0s' $(seq %2)").arg(piece).arg(times);
}

} // namespace

class ShellRunnerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_home;

    QString work(const QString &name) const { return m_work.filePath(name); }

    static void writeExecutable(const QString &path, const QByteArray &content)
    {
        writeAll(path, content);
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

private slots:
    void initTestCase()
    {
        // A home of our own, so the real user's profile cannot print into the replies.
        m_home = work(QStringLiteral("home"));
        writeAll(m_home + QStringLiteral("/.profile"), "export KESTRIN_PROFILE_MARK=from-profile\nPATH=\"$HOME/bin:$PATH\"\n");
        writeExecutable(m_home + QStringLiteral("/bin/kestrin-profile-tool"), "#!/bin/sh\necho tool ran\n");
        qputenv("HOME", QFile::encodeName(m_home));
        qputenv("KESTRIN_SHELL_TEST", "value 123");
        QVERIFY(QDir::setCurrent(m_work.path()));
        AppPaths::log(); // the support folder exists before the first run logs
    }

    void init()
    {
        logMark = QFileInfo(AppPaths::log()).size();
        qputenv("SHELL", "/bin/bash");
    }

    void replies_data()
    {
        QTest::addColumn<QString>("command"), QTest::addColumn<QString>("expected");
        const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467"); // one perceived character
        const QString accented = QStringLiteral("e\u0301");
        QTest::newRow("success, only error output") << "echo warning >&2" << "Done.";
        QTest::newRow("failure, only standard output") << "echo out; exit 3" << "That command failed.";
        QTest::newRow("failure with error output") << "echo out; printf '\\n  no such thing \\n' >&2; exit 2" << "That failed: no such thing";
        QTest::newRow("success with both streams") << "echo warning >&2; echo result" << "result";
        QTest::newRow("killed after error output") << "echo dying >&2; kill -TERM $$" << "That failed: dying";
        QTest::newRow("trimmed, inner blanks kept") << "printf '  \\n\\t hello  world \\n\\n'" << "hello  world";
        QTest::newRow("cut at 400 perceived characters") << printRepeated(accented, 401) << accented.repeated(400);
        QTest::newRow("error cut at 200") << printRepeated(family, 300) + " >&2; false" << "That failed: " + family.repeated(200);
        QTest::newRow("bad output beside good error") << "printf '\\300\\257'; echo fine >&2; exit 1" << "That failed: fine";
        QTest::newRow("error not UTF-8") << "printf 'x\\377' >&2; exit 1" << "That command failed.";
        // Beyond the kept start of a stream.
        QTest::newRow("character split where the kept part ends") << "printf a; " + printRepeated(QStringLiteral("\u00E9"), 40000) << "a" + QString(399, QChar(0xE9));
        QTest::newRow("long blank start") << "head -c 100000 /dev/zero | tr '\\0' ' '; echo after" << "after";
        QTest::newRow("bad byte far past the kept part") << "head -c 100000 /dev/zero | tr '\\0' a; printf '\\377'" << "Done.";
        // Output far past what is kept is read and dropped: memory stays bounded.
        QTest::newRow("200 MB of output") << "yes | head -c 200000000" << QStringLiteral("y\n").repeated(200);
        QTest::newRow("200 MB of errors") << "yes e | head -c 200000000 >&2; exit 1" << "That failed: " + QStringLiteral("e\n").repeated(100);
        // The whole text is one shell argument, run by a login shell.
        QTest::newRow("shell syntax") << "echo \"$HOME\" 'a \"b\"' | tr a-z A-Z" << m_home.toUpper() + " A \"B\"";
        QTest::newRow("environment and folder inherited") << "echo \"$KESTRIN_SHELL_TEST:$(pwd -P)\"" << "value 123:" + QDir(m_work.path()).canonicalPath();
        QTest::newRow("login profile") << "shopt -q login_shell && echo \"$KESTRIN_PROFILE_MARK, $(kestrin-profile-tool)\"" << "from-profile, tool ran";
    }
    void replies()
    {
        QFETCH(QString, command); QFETCH(QString, expected);
        const qint64 before = residentKb();
        QCOMPARE(reply(command), expected);
        QVERIFY2(before > 0 && residentKb() - before < 50 * 1024, qPrintable(QStringLiteral("grew by %1 kB").arg(residentKb() - before)));
    }

    void logsTheCommandAndHowItEnded()
    {
        const QString command = printRepeated(QStringLiteral("o"), 300) + "; " + printRepeated(QStringLiteral("e"), 300) + " >&2; kill -9 $$";
        reply(command);
        QCOMPARE(logged(), (QStringList{QStringLiteral("ShellRunner running: ") + command,
                                        QStringLiteral("ShellRunner exit=137 stdout=%1 stderr=%2").arg(QString(200, u'o'), QString(200, u'e'))}));
    }

    void shellChoice_data()
    {
        QTest::addColumn<QByteArray>("shellVariable"), QTest::addColumn<QString>("expected");
        writeAll(work(QStringLiteral("not-executable")), "#!/bin/bash\n");
        QTest::newRow("bash") << QByteArray("/bin/bash") << "/bin/bash";
        QTest::newRow("relative") << QByteArray("bash") << "/bin/sh";
        QTest::newRow("a folder") << QByteArray("/usr/bin") << "/bin/sh";
        QTest::newRow("not executable") << QFile::encodeName(work(QStringLiteral("not-executable"))) << "/bin/sh";
    }
    void shellChoice()
    {
        QFETCH(QByteArray, shellVariable); QFETCH(QString, expected);
        qputenv("SHELL", shellVariable);
        QCOMPARE(ShellRunner::loginShell(), expected);
        QCOMPARE(reply(QStringLiteral("echo \"$0 $KESTRIN_PROFILE_MARK\"")), expected + QStringLiteral(" from-profile"));
    }

    void shellThatCannotStart()
    {
        const QString shell = work(QStringLiteral("broken-shell"));
        writeExecutable(shell, "just some text\n");
        qputenv("SHELL", QFile::encodeName(shell));
        QObject context;
        const auto run = start(QStringLiteral("echo never"), &context);
        QCOMPARE(run->calls, 1); // before run returned
        QCOMPARE(run->reply, QStringLiteral("Couldn't run that: ") + qt_error_string(ENOEXEC));
        QVERIFY2(logged().value(1).startsWith(QStringLiteral("ShellRunner failed to launch: ")), qPrintable(logged().join(u'\n')));
        qputenv("SHELL", "/bin/bash");
        QCOMPARE(reply(QStringLiteral("true")), QStringLiteral("Done."));
        QCOMPARE(run->calls, 1); // and never again
    }

    void signalsStartAtTheirDefaults()
    {
        // What this process ignores or blocks, the command must not: `yes | head` ends by SIGPIPE (141).
        const auto previous = std::signal(SIGPIPE, SIG_IGN);
        sigset_t blocked, mask;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &blocked, &mask);
        const QString result = reply(QStringLiteral("yes | head -c 10 >/dev/null; echo ${PIPESTATUS[0]}; exec grep SigBlk /proc/self/status"));
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        std::signal(SIGPIPE, previous);
        QCOMPARE(result, QStringLiteral("141\nSigBlk:\t0000000000000000"));
    }

    void runsAreIndependentAndDoNotBlock()
    {
        QObject context;
        auto gated = [this](const QString &name) { // waits for a file made only after run returned
            return QStringLiteral("while [ ! -e '%1' ]; do sleep 0.01; done; echo %2").arg(work(name), name);
        };
        const auto first = start(gated(QStringLiteral("first")), &context);
        const auto second = start(gated(QStringLiteral("second")), &context);
        QCOMPARE(first->calls + second->calls, 0);
        QCOMPARE(reply(QStringLiteral("echo third")), QStringLiteral("third"));
        writeAll(work(QStringLiteral("second")), "");
        QVERIFY(finished(second));
        QCOMPARE(first->calls, 0);
        writeAll(work(QStringLiteral("first")), "");
        QVERIFY(finished(first));
        QCOMPARE(first->reply + second->reply, QStringLiteral("firstsecond"));
        QVERIFY(first->calls == 1 && second->calls == 1 && first->onMainThread && second->onMainThread);
    }

    void noReplyAfterTheContextIsGone()
    {
        auto *context = new QObject;
        const auto orphan = start(QStringLiteral("echo orphaned-reply"), context);
        delete context;
        // Its exit line is logged just before the reply would be handed over; a later run delivers after it.
        QVERIFY(QTest::qWaitFor([] { return logged().contains(QStringLiteral("ShellRunner exit=0 stdout=orphaned-reply stderr=")); }, 120000));
        QCOMPARE(reply(QStringLiteral("true")), QStringLiteral("Done."));
        QCOMPARE(orphan->calls, 0);

        context = new QObject;
        QPointer<QObject> watched(context);
        int calls = 0;
        ShellRunner::run(QStringLiteral("echo bye"), context, [&](const QString &) {
            ++calls;
            delete context; // the completion may delete its own context
        });
        QVERIFY(QTest::qWaitFor([&] { return calls > 0; }, 120000));
        QVERIFY(!watched);
        QCOMPARE(reply(QStringLiteral("true")), QStringLiteral("Done."));
        QCOMPARE(calls, 1);
    }
};

KESTRIN_TEST_MAIN(ShellRunnerTest)
#include "tst_shellrunner.moc"
