// The shell runner with real child processes: the reply for each way a command can end, shell
// syntax and the login shell, what the command inherits, output far larger than what is kept,
// shells that cannot be started, runs side by side, and contexts that go away.

#include "AppPaths.h"
#include "ShellRunner.h"
#include "TestSupport.h"

#include <QPointer>
#include <QThread>

#include <csignal>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

/// What a run's completion saw.
struct Outcome
{
    int calls = 0;
    QString reply;
    bool onMainThread = true;
};

std::shared_ptr<Outcome> start(const QString &command, QObject *context)
{
    auto outcome = std::make_shared<Outcome>();
    ShellRunner::run(command, context, [outcome](const QString &reply) {
        ++outcome->calls;
        outcome->reply = reply;
        outcome->onMainThread = outcome->onMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    });
    return outcome;
}

bool waitFor(const std::shared_ptr<Outcome> &outcome)
{
    return QTest::qWaitFor([&] { return outcome->calls > 0; }, 120000);
}

/// The resident memory of this process, in kB.
qint64 residentKb()
{
    const QByteArray status = readAll(QStringLiteral("/proc/self/status"));
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QString repeated(const QString &piece, qsizetype times)
{
    return piece.repeated(times);
}

/// A shell command printing @p piece @p times times (bash's printf repeats its format).
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
    qint64 m_logMark = 0;

    QString work(const QString &name) const { return m_work.filePath(name); }

    /// The log's messages written since this test function began, without their time stamps.
    QStringList logged() const
    {
        QStringList messages;
        for (const QByteArray &line : readAll(AppPaths::log()).mid(m_logMark).split('\n')) {
            const qsizetype end = line.indexOf("] ");
            if (!line.isEmpty() && end > 0)
                messages.append(QString::fromUtf8(line.mid(end + 2)));
        }
        return messages;
    }

    /// Runs @p command to its end and checks the completion came once, on the main thread.
    QString reply(const QString &command)
    {
        QObject context;
        const auto outcome = start(command, &context);
        if (!waitFor(outcome))
            return QStringLiteral("<no reply>");
        if (outcome->calls != 1 || !outcome->onMainThread)
            return QStringLiteral("<called %1 times, on the main thread: %2>")
                .arg(outcome->calls)
                .arg(outcome->onMainThread);
        return outcome->reply;
    }

    void writeExecutable(const QString &path, const QByteArray &content)
    {
        writeAll(path, content);
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                | QFile::ExeOther));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        // A home of our own: its login profile is the only one that adds anything, and the
        // real user's profile cannot print into the replies.
        m_home = work(QStringLiteral("home"));
        writeAll(m_home + QStringLiteral("/.profile"),
                 "export KESTRIN_PROFILE_MARK=from-profile\nPATH=\"$HOME/bin:$PATH\"\n");
        writeExecutable(m_home + QStringLiteral("/bin/kestrin-profile-tool"), "#!/bin/sh\necho tool ran\n");
        qputenv("HOME", QFile::encodeName(m_home));
        qputenv("SHELL", "/bin/bash");
        AppPaths::log(); // the support folder exists before the first run logs
    }

    void init()
    {
        m_logMark = QFileInfo(AppPaths::log()).size();
        qputenv("SHELL", "/bin/bash");
    }

    void replies_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("expected");
        const QString tenLetters = QStringLiteral("abcdefghij");
        const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD");                       // with skin tone
        const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467"); // joined
        const QString accented = QStringLiteral("e\u0301");                                // combining accent

        QTest::newRow("silent success") << "true" << "Done.";
        QTest::newRow("silent failure") << "exit 3" << "That command failed.";
        QTest::newRow("failure with error output") << "echo oops >&2; exit 2" << "That failed: oops";
        QTest::newRow("failure with only standard output") << "echo out-only; exit 1" << "That command failed.";
        QTest::newRow("success with error output") << "echo warning >&2; echo result" << "result";
        QTest::newRow("success with only error output") << "echo just-a-warning >&2" << "Done.";
        QTest::newRow("exit 255") << "echo bad >&2; exit 255" << "That failed: bad";
        QTest::newRow("killed") << "kill -9 $$" << "That command failed.";
        QTest::newRow("killed after error output") << "echo dying >&2; kill -TERM $$" << "That failed: dying";
        QTest::newRow("1,000 characters") << printRepeated(tenLetters, 100) << repeated(tenLetters, 40);
        QTest::newRow("exactly 400 characters") << printRepeated(tenLetters, 40) << repeated(tenLetters, 40);
        QTest::newRow("trimmed") << "printf '  \\n\\t hello  world \\n\\n'" << "hello  world";
        QTest::newRow("trimmed error") << "printf '\\n  no such thing \\n' >&2; exit 1" << "That failed: no such thing";
        QTest::newRow("blank output") << "printf ' \\n\\t\\n'" << "Done.";
        QTest::newRow("error cut at 200") << printRepeated(QStringLiteral("e"), 300) + " >&2; exit 1"
                                          << QStringLiteral("That failed: ") + QString(200, u'e');
        QTest::newRow("emoji with skin tone") << printRepeated(thumb, 500) << repeated(thumb, 400);
        QTest::newRow("joined emoji") << printRepeated(family, 450) << repeated(family, 400);
        QTest::newRow("combining accents") << printRepeated(accented, 401) << repeated(accented, 400);
        QTest::newRow("emoji error cut at 200") << printRepeated(family, 300) + " >&2; false"
                                                << QStringLiteral("That failed: ") + repeated(family, 200);
        QTest::newRow("four-byte character") << "printf '\\360\\237\\230\\200'" << QStringLiteral("\U0001F600");
        QTest::newRow("not UTF-8") << "printf '\\377\\376'" << "Done.";
        QTest::newRow("unfinished character at the end") << "printf 'ok\\303'" << "Done.";
        QTest::newRow("encoded surrogate") << "printf 'a\\355\\240\\200'" << "Done.";
        QTest::newRow("overlong slash") << "printf '\\300\\257'" << "Done.";
        QTest::newRow("past U+10FFFF") << "printf '\\364\\220\\200\\200'" << "Done.";
        QTest::newRow("error not UTF-8") << "printf 'x\\377' >&2; exit 1" << "That command failed.";
        QTest::newRow("bad output beside good error") << "printf '\\377'; echo fine >&2; exit 1" << "That failed: fine";

        // Beyond the kept start of a stream.
        QTest::newRow("character split where the kept part ends")
            << "printf a; " + printRepeated(QStringLiteral("\u00E9"), 40000) // 1 + 80,000 bytes
            << QStringLiteral("a") + QString(399, QChar(0xE9));
        QTest::newRow("long blank start") << "head -c 100000 /dev/zero | tr '\\0' ' '; echo after-the-blanks"
                                          << "after-the-blanks";
        QTest::newRow("bad byte far past the kept part")
            << "head -c 100000 /dev/zero | tr '\\0' a; printf '\\377'" << "Done.";

        // Shell syntax: the whole text is one argument.
        QTest::newRow("pipe and variable") << "echo \"$HOME\" | tr a-z A-Z" << m_home.toUpper();
        QTest::newRow("quotes") << "echo 'single \"double\"' \"and 'single'\"" << "single \"double\" and 'single'";
        QTest::newRow("arithmetic") << "x=5; echo $((x * 2))" << "10";
        QTest::newRow("or") << "false || echo fallback" << "fallback";
        QTest::newRow("command substitution") << "echo \"[$(printf inner)]\"" << "[inner]";
        QTest::newRow("glob characters stay the shell's") << "cd / && echo e*c" << "etc";

        // A login shell: the profile's variables and search path apply.
        QTest::newRow("login shell") << "shopt -q login_shell && echo login" << "login";
        QTest::newRow("profile variable") << "echo \"$KESTRIN_PROFILE_MARK\"" << "from-profile";
        QTest::newRow("profile search path") << "kestrin-profile-tool" << "tool ran";
    }
    void replies()
    {
        QFETCH(QString, command);
        QFETCH(QString, expected);
        QCOMPARE(reply(command), expected);
    }

    void logLines_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("exitLine");
        QTest::newRow("both streams") << "echo out-text; echo err-text >&2; exit 4"
                                      << "ShellRunner exit=4 stdout=out-text stderr=err-text";
        QTest::newRow("silent") << "true" << "ShellRunner exit=0 stdout= stderr=";
        QTest::newRow("cut at 200") << printRepeated(QStringLiteral("o"), 300) + "; "
                                           + printRepeated(QStringLiteral("e"), 300) + " >&2"
                                    << QStringLiteral("ShellRunner exit=0 stdout=%1 stderr=%2")
                                           .arg(QString(200, u'o'), QString(200, u'e'));
        QTest::newRow("killed by a signal") << "kill -9 $$" << "ShellRunner exit=137 stdout= stderr=";
        QTest::newRow("not UTF-8") << "printf '\\377'; echo e >&2" << "ShellRunner exit=0 stdout= stderr=e";
    }
    void logLines()
    {
        QFETCH(QString, command);
        QFETCH(QString, exitLine);
        reply(command);
        QCOMPARE(logged(), (QStringList{QStringLiteral("ShellRunner running: ") + command, exitLine}));
    }

    void shellChoice_data()
    {
        QTest::addColumn<QByteArray>("shellVariable");
        QTest::addColumn<QString>("expected");
        const QByteArray plainFile = QFile::encodeName(work(QStringLiteral("not-executable")));
        writeAll(work(QStringLiteral("not-executable")), "#!/bin/bash\n");
        QTest::newRow("bash") << QByteArray("/bin/bash") << "/bin/bash";
        QTest::newRow("unset") << QByteArray() << "/bin/sh";
        QTest::newRow("missing") << QByteArray("/nonexistent/zsh") << "/bin/sh";
        QTest::newRow("not executable") << plainFile << "/bin/sh";
        QTest::newRow("a folder") << QByteArray("/usr/bin") << "/bin/sh";
        QTest::newRow("relative") << QByteArray("bash") << "/bin/sh";
    }
    void shellChoice()
    {
        QFETCH(QByteArray, shellVariable);
        QFETCH(QString, expected);
        if (shellVariable.isNull())
            qunsetenv("SHELL");
        else
            qputenv("SHELL", shellVariable);
        QCOMPARE(ShellRunner::loginShell(), expected);
        // The shell actually started, as a login shell in every case.
        QCOMPARE(reply(QStringLiteral("echo \"$0 $KESTRIN_PROFILE_MARK\"")), expected + QStringLiteral(" from-profile"));
    }

    void shellThatCannotStart_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("description");
        QTest::newRow("not a program") << QByteArray("just some text\n") << qt_error_string(ENOEXEC);
        QTest::newRow("missing interpreter") << QByteArray("#!/nonexistent/interpreter\n") << qt_error_string(ENOENT);
    }
    void shellThatCannotStart()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, description);
        const QString shell = work(QStringLiteral("broken-shell"));
        writeExecutable(shell, content);
        qputenv("SHELL", QFile::encodeName(shell));
        QCOMPARE(ShellRunner::loginShell(), shell);

        QObject context;
        const auto outcome = start(QStringLiteral("echo never"), &context);
        // Called before run returned.
        QCOMPARE(outcome->calls, 1);
        QCOMPARE(outcome->reply, QStringLiteral("Couldn't run that: ") + description);
        QCOMPARE(logged().size(), 2);
        QCOMPARE(logged().at(0), QStringLiteral("ShellRunner running: echo never"));
        QVERIFY2(logged().at(1).startsWith(QStringLiteral("ShellRunner failed to launch: ")), qPrintable(logged().at(1)));
        QVERIFY(logged().at(1).contains(description));

        // And never again.
        qputenv("SHELL", "/bin/bash");
        QCOMPARE(reply(QStringLiteral("true")), QStringLiteral("Done."));
        QCOMPARE(outcome->calls, 1);
    }

    void inheritsEnvironmentFolderAndInput()
    {
        qputenv("KESTRIN_SHELL_TEST", "value 123");
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work.path()));
        const QString environmentAndFolder = reply(QStringLiteral("echo \"$KESTRIN_SHELL_TEST:$(pwd -P)\""));
        QVERIFY(QDir::setCurrent(before));
        QCOMPARE(environmentAndFolder, QStringLiteral("value 123:") + QDir(m_work.path()).canonicalPath());

        // Standard input is this process's.
        writeAll(work(QStringLiteral("input.txt")), "from standard input\n");
        const int file = ::open(QFile::encodeName(work(QStringLiteral("input.txt"))).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(file >= 0);
        const int saved = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
        QVERIFY(::dup2(file, STDIN_FILENO) == STDIN_FILENO);
        const QString input = reply(QStringLiteral("cat"));
        if (saved >= 0) {
            ::dup2(saved, STDIN_FILENO);
            ::close(saved);
        } else {
            ::close(STDIN_FILENO);
        }
        ::close(file);
        QCOMPARE(input, QStringLiteral("from standard input"));
    }

    void signalsStartAtTheirDefaults()
    {
        // What this process ignores or blocks, the command must not: `yes | head` needs a
        // broken pipe to end `yes`.
        const auto previous = std::signal(SIGPIPE, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, &blocked, &mask);
        const QString status = reply(QStringLiteral("exec grep -E '^Sig(Blk|Ign)' /proc/self/status"));
        const QString pipeline = reply(QStringLiteral("yes | head -c 10 >/dev/null"));
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        std::signal(SIGPIPE, previous);
        const QStringList lines = status.split(u'\n');
        QCOMPARE(lines.size(), 2);
        for (const QString &line : lines) {
            const quint64 mask = line.section(u'\t', 1).toULongLong(nullptr, 16);
            // glibc's two signals of its own (32, 33) are left ignored by posix_spawn; a
            // program that uses them installs its handlers anyway.
            for (int sig = 1; sig < NSIG; ++sig) {
                if (sig < 32 || sig >= SIGRTMIN)
                    QVERIFY2(!(mask & (quint64(1) << (sig - 1))), qPrintable(line));
            }
        }
        QCOMPARE(pipeline, QStringLiteral("Done.")); // no "Broken pipe" complaint from yes
    }

    void hugeOutputKeepsMemoryBounded_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("expected");
        QTest::newRow("200 MB of output") << "yes | head -c 200000000" << repeated(QStringLiteral("y\n"), 200);
        QTest::newRow("200 MB of errors") << "yes e | head -c 200000000 >&2; exit 1"
                                          << QStringLiteral("That failed: ") + repeated(QStringLiteral("e\n"), 100);
        QTest::newRow("200 MB of zeros") << "head -c 200000000 /dev/zero" << QString(400, QChar(0));
    }
    void hugeOutputKeepsMemoryBounded()
    {
        QFETCH(QString, command);
        QFETCH(QString, expected);
        const qint64 before = residentKb();
        QVERIFY(before > 0);
        QCOMPARE(reply(command), expected);
        const qint64 grown = residentKb() - before;
        qInfo("resident memory grew by %lld kB", grown);
        QVERIFY2(grown < 50 * 1024, qPrintable(QStringLiteral("grew by %1 kB").arg(grown)));
    }

    void runReturnsWhileTheCommandRuns()
    {
        // The command ends only once it sees a file that the test makes after run returned.
        const QString gate = work(QStringLiteral("gate"));
        QFile::remove(gate);
        QObject context;
        const auto outcome = start(QStringLiteral("i=0; while [ ! -e '%1' ] && [ $i -lt 6000 ]; do sleep 0.01; i=$((i+1)); done; "
                                                  "[ -e '%1' ] && echo released")
                                       .arg(gate),
                                   &context);
        QCOMPARE(outcome->calls, 0);
        writeAll(gate, "");
        QVERIFY(waitFor(outcome));
        QCOMPARE(outcome->reply, QStringLiteral("released"));
        QCOMPARE(outcome->calls, 1);
    }

    void runsAreIndependent()
    {
        QObject context;
        auto waitingCommand = [this](const QString &name) {
            const QString gate = work(name);
            QFile::remove(gate);
            return QStringLiteral("while [ ! -e '%1' ]; do sleep 0.01; done; echo %2").arg(gate, name);
        };
        const auto first = start(waitingCommand(QStringLiteral("first")), &context);
        const auto second = start(waitingCommand(QStringLiteral("second")), &context);
        const auto third = start(QStringLiteral("echo third"), &context);
        QVERIFY(waitFor(third));
        QCOMPARE(third->reply, QStringLiteral("third"));
        QCOMPARE(first->calls + second->calls, 0);

        writeAll(work(QStringLiteral("second")), "");
        QVERIFY(waitFor(second));
        QCOMPARE(second->reply, QStringLiteral("second"));
        QCOMPARE(first->calls, 0);

        writeAll(work(QStringLiteral("first")), "");
        QVERIFY(waitFor(first));
        QCOMPARE(first->reply, QStringLiteral("first"));
        for (const auto &outcome : {first, second, third}) {
            QCOMPARE(outcome->calls, 1);
            QVERIFY(outcome->onMainThread);
        }
    }

    void noReplyAfterTheContextIsGone()
    {
        auto *context = new QObject;
        const auto orphan = start(QStringLiteral("echo orphaned-reply"), context);
        delete context;
        // Its exit line is written just before the reply would be handed over; a run started
        // after that line delivers after it.
        QVERIFY(QTest::qWaitFor([this] {
            return logged().contains(QStringLiteral("ShellRunner exit=0 stdout=orphaned-reply stderr="));
        }, 120000));
        QCOMPARE(reply(QStringLiteral("true")), QStringLiteral("Done."));
        QCOMPARE(orphan->calls, 0);
    }

    void completionMayDeleteItsContext()
    {
        auto *context = new QObject;
        QPointer<QObject> watched(context);
        int calls = 0;
        ShellRunner::run(QStringLiteral("echo bye"), context, [&](const QString &reply) {
            ++calls;
            QCOMPARE(reply, QStringLiteral("bye"));
            delete context;
        });
        QVERIFY(QTest::qWaitFor([&] { return calls > 0; }, 120000));
        QVERIFY(!watched);
        QCOMPARE(reply(QStringLiteral("true")), QStringLiteral("Done."));
        QCOMPARE(calls, 1);
    }
};

KESTRIN_TEST_MAIN(ShellRunnerTest)
#include "tst_shellrunner.moc"
