#include "AppPaths.h"
#include "DebugLog.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <QThread>
#include <QTimeZone>

using namespace TestSupport;

namespace {
const QRegularExpression linePattern(QStringLiteral(R"(^\[(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)\] (.*)$)"));
}

class DebugLogTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_homes;
    QString m_childHome; // fresh per case: the log is opened (and rotated) once per process

    QString childLog() const { return m_childHome + QStringLiteral("/data/Kestrin AI/kestrin.log"); }

    void runChild(const QStringList &messages)
    {
        QProcessEnvironment env = childEnvironment(m_childHome);
        env.insert(QStringLiteral("TZ"), QStringLiteral("Asia/Tokyo")); // the log's times are UTC all the same
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QStringLiteral(KESTRIN_HELPER), QStringList{QStringLiteral("log")} + messages);
        QVERIFY(child.waitForFinished(30000));
        QVERIFY(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0);
    }

private slots:
    void init()
    {
        static int n = 0;
        m_childHome = m_homes.filePath(QString::number(++n));
    }

    void linesAreUtcAndRunsAppendToAPrivateFile()
    {
        // Milliseconds are cut, not rounded up.
        const QDateTime tokyo(QDate(2026, 3, 1), QTime(9, 30, 15, 999), QTimeZone("Asia/Tokyo"));
        QCOMPARE(DebugLog::formatLine(QStringLiteral("hello"), tokyo), QStringLiteral("[2026-03-01T00:30:15Z] hello"));

        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        runChild({QStringLiteral("first run"), QStringLiteral("line with ünïcödé")});
        runChild({QStringLiteral("second run")});
        const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);
        const QStringList lines = QString::fromUtf8(readAll(childLog())).split(u'\n');
        QCOMPARE(lines.size(), 4); // three lines and the empty rest after the last line feed
        const QStringList messages{QStringLiteral("first run"), QStringLiteral("line with ünïcödé"), QStringLiteral("second run")};
        for (int i = 0; i < 3; ++i) {
            const auto match = linePattern.match(lines[i]);
            QCOMPARE(match.captured(2), messages[i]);
            const QDateTime at = QDateTime::fromString(match.captured(1), Qt::ISODate);
            QVERIFY2(at >= before && at <= after, qPrintable(lines[i]));
        }
        QCOMPARE(modeOf(childLog()), 0600);
        QCOMPARE(modeOf(QFileInfo(childLog()).absolutePath()), 0700);
    }

    void rotationAtLaunch_data()
    {
        QTest::addColumn<int>("size"), QTest::addColumn<bool>("kept");
        QTest::newRow("1,000,000 bytes stays") << 1'000'000 << true;
        QTest::newRow("1,000,001 bytes is deleted") << 1'000'001 << false;
    }
    void rotationAtLaunch()
    {
        QFETCH(int, size); QFETCH(bool, kept);
        const QByteArray old(size, 'o');
        writeAll(childLog(), old);
        runChild({QStringLiteral("after")});
        const QByteArray now = readAll(childLog());
        QCOMPARE(now.startsWith(old), kept);
        const QByteArray added = now.mid(kept ? size : 0);
        QCOMPARE(added.count('\n'), 1);
        QCOMPARE(linePattern.match(QString::fromUtf8(added).trimmed()).captured(2), QStringLiteral("after"));
    }

    void unopenableLogIsSilent()
    {
        QVERIFY(QDir().mkpath(childLog())); // a folder where the file should be: not even root opens it
        runChild({QStringLiteral("dropped")});
        QVERIFY(QFileInfo(childLog()).isDir());
    }

    void threadsNeverTearALine()
    {
        constexpr int perThread = 10'000;
        auto writer = [](QChar tag) {
            return std::unique_ptr<QThread>(QThread::create([tag] {
                for (int i = 0; i < perThread; ++i)
                    DebugLog::log(QStringLiteral("%1 %2 %3").arg(tag).arg(i).arg(QString(40, tag)));
            }));
        };
        const auto a = writer(u'a'), b = writer(u'b');
        a->start();
        b->start();
        QVERIFY(a->wait(60000) && b->wait(60000));
        const QStringList lines = QString::fromUtf8(readAll(AppPaths::log())).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2 * perThread);
        int next[2] = {0, 0};
        for (const QString &line : lines) {
            const QStringList parts = linePattern.match(line).captured(2).split(u' ');
            QVERIFY2(parts.size() == 3 && parts[0].size() == 1 && parts[2] == QString(40, parts[0].at(0)), qPrintable(line));
            QCOMPARE(parts[1].toInt(), next[parts[0] == u'b']++); // whole and in each thread's order
        }
    }
};

KESTRIN_TEST_MAIN(DebugLogTest)
#include "tst_debuglog.moc"
