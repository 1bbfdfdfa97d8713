#pragma once

// Shared by every test: each test process gets its own home for the program's files, so no test
// ever touches the user's real support or configuration folder.

#include "ChildProcess.h"
#include "Permissions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <algorithm>

namespace TestSupport {

/// Points XDG_DATA_HOME and XDG_CONFIG_HOME at a new private folder for this process.
inline QString isolateHome()
{
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/kestrin-test-XXXXXX"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path())); // private (0700), quiets Qt
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return home.path();
}

/// The permission bits of a file or folder (0700, 0600...), or -1 when it does not exist.
inline int modeOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

/// An environment for a child process whose program files live under @p home.
inline QProcessEnvironment childEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")));
    return env;
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

/// The seed of a test's random faults: $KESTRIN_FAULT_SEED, else a fixed one. Printed, so a failing
/// run can be replayed.
inline quint32 faultSeed()
{
    bool given = false;
    const quint32 seed = qEnvironmentVariable("KESTRIN_FAULT_SEED").toUInt(&given);
    qInfo("fault seed %u (KESTRIN_FAULT_SEED replays a run)", given ? seed : 20250611u);
    return given ? seed : 20250611u;
}

/// Microphone and speech access as the platform would answer, granted or refused.
inline void setVoiceAccess(bool granted)
{
    const auto answer = granted ? Permissions::Authorization::authorized : Permissions::Authorization::denied;
    Permissions::Sources sources;
    sources.microphone = [answer] { return answer; };
    sources.speech = [answer] { return answer; };
    sources.screenAllowed = [] { return false; };
    sources.requestSpeech = [granted](std::function<void(bool)> done) { done(granted); };
    sources.requestMicrophone = [granted](std::function<void(bool)> done) { done(granted); };
    Permissions::setSources(sources);
}

/// Wake-word calls as "kind word command..." against the expected ones: kind and word must be
/// the same; an expected third field "time|clock" asks for one of those among the command's words.
inline bool wakeCallsMatch(const QStringList &calls, const QStringList &expected)
{
    if (calls.size() != expected.size())
        return false;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const QStringList want = expected[i].split(u' ');
        const QStringList got = calls[i].split(u' ');
        const QStringList anyOf = want.value(2).split(u'|', Qt::SkipEmptyParts);
        if (got.mid(0, 2) != want.mid(0, 2)
            || !(anyOf.isEmpty() || std::any_of(anyOf.cbegin(), anyOf.cend(), [&](const QString &w) { return got.mid(2).contains(w); })))
            return false;
    }
    return true;
}

} // namespace TestSupport

/// QTEST_GUILESS_MAIN with an isolated home, set before anything reads the environment.
#define KESTRIN_TEST_MAIN(TestObject)                                                              \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        TestSupport::isolateHome();                                                                \
        QCoreApplication app(argc, argv);                                                          \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

/// The same with a QGuiApplication, for tests that load QML.
#define KESTRIN_GUI_TEST_MAIN(TestObject)                                                          \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        TestSupport::isolateHome();                                                                \
        QGuiApplication app(argc, argv);                                                           \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
