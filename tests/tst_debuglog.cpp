#include "AppPaths.h"
#include "DebugLog.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <QThread>
#include <QTimeZone>

using namespace TestSupport;

namespace {
const QRegularExpression linePattern(QStringLiteral(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] (.*)$)"));
}

class DebugLogTest : public QObject
{
    Q_OBJECT

    QString m_childHome; // a second home for child processes, apart from this process's log

    QString childLog() const { return m_childHome + QStringLiteral("/data/Kestrin AI/kestrin.log"); }

    void runChild(const QStringList &messages)
    {
        QProcess child;
        child.setProcessEnvironment(childEnvironment(m_childHome));
        child.start(QStringLiteral(KESTRIN_HELPER), QStringList{QStringLiteral("log")} + messages);
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
    }

private slots:
    void init()
    {
        static QTemporaryDir homes;
        static int n = 0;
        m_childHome = homes.filePath(QString::number(++n));
    }

    void timestampsAreUtcWithZ_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::newRow("Tokyo") << QByteArray("Asia/Tokyo");
        QTest::newRow("New York") << QByteArray("America/New_York");
    }
    void timestampsAreUtcWithZ()
    {
        QFETCH(QByteArray, zone);
        // The same instant written from a zoned local time must come out in UTC.
        const QDateTime local(QDate(2026, 3, 1), QTime(9, 30, 15), QTimeZone(zone));
        const QDateTime instant = QDateTime(QDate(2026, 3, 1), QTime(9, 30, 15), QTimeZone(zone)).toUTC();
        QCOMPARE(DebugLog::formatLine(QStringLiteral("hello"), local),
                 QStringLiteral("[%1] hello").arg(instant.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"))));
        QCOMPARE(DebugLog::formatLine(QStringLiteral("x"), QDateTime(QDate(2001, 1, 1), QTime(0, 0, 0, 999), QTimeZone::utc())),
                 QStringLiteral("[2001-01-01T00:00:00Z] x"));

        // And the real thing, written by a child in that zone.
        QProcess child;
        QProcessEnvironment env = childEnvironment(m_childHome);
        env.insert(QStringLiteral("TZ"), QString::fromLatin1(zone));
        child.setProcessEnvironment(env);
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        child.start(QStringLiteral(KESTRIN_HELPER), {QStringLiteral("log"), QStringLiteral("zoned")});
        QVERIFY(child.waitForFinished(30000));
        const QString line = QString::fromUtf8(readAll(childLog())).trimmed();
        const auto match = linePattern.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const QDateTime written = QDateTime::fromString(line.mid(1, 20), Qt::ISODate);
        QVERIFY(written >= before.addSecs(-1) && written <= QDateTime::currentDateTimeUtc().addSecs(1));
    }

    void firstLineStartsANewFileAndRunsAppend()
    {
        QVERIFY(!QFile::exists(childLog()));
        runChild({QStringLiteral("first run"), QStringLiteral("line with ünïcödé")});
        runChild({QStringLiteral("second run")});
        const QStringList lines = QString::fromUtf8(readAll(childLog())).split(u'\n');
        QCOMPARE(lines.size(), 4); // three lines and the empty rest after the last line feed
        QCOMPARE(lines.last(), QString());
        QCOMPARE(linePattern.match(lines[0]).captured(1), QStringLiteral("first run"));
        QCOMPARE(linePattern.match(lines[1]).captured(1), QStringLiteral("line with ünïcödé"));
        QCOMPARE(linePattern.match(lines[2]).captured(1), QStringLiteral("second run"));
        QCOMPARE(modeOf(childLog()), 0600);
        QCOMPARE(modeOf(QFileInfo(childLog()).absolutePath()), 0700);
    }

    void rotationAtLaunch_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("kept");
        QTest::newRow("1,000,000 bytes stays") << 1'000'000 << true;
        QTest::newRow("1,000,001 bytes is deleted") << 1'000'001 << false;
    }
    void rotationAtLaunch()
    {
        QFETCH(int, size);
        QFETCH(bool, kept);
        const QByteArray old(size, 'o');
        writeAll(childLog(), old);
        runChild({QStringLiteral("after")});
        const QByteArray now = readAll(childLog());
        QCOMPARE(now.startsWith(old), kept);
        const QByteArray lastLine = now.mid(kept ? size : 0);
        QVERIFY(lastLine.startsWith('['));
        QVERIFY(lastLine.endsWith("] after\n"));
        QCOMPARE(lastLine.count('\n'), 1);
    }

    void messageLineBreaksAreWrittenAsIs()
    {
        runChild({QStringLiteral("two\nlines")});
        QVERIFY(readAll(childLog()).endsWith("] two\nlines\n"));
    }

    void unopenableLogIsSilent()
    {
        // A folder where the file should be: no open mode works on it, not even for root.
        QVERIFY(QDir().mkpath(childLog()));
        runChild({QStringLiteral("dropped"), QStringLiteral("dropped too")});
        QVERIFY(QFileInfo(childLog()).isDir());
    }

    void threadsNeverTearALine()
    {
        constexpr int perThread = 10'000;
        auto writer = [](QChar tag) {
            return QThread::create([tag] {
                for (int i = 0; i < perThread; ++i)
                    DebugLog::log(QStringLiteral("%1 %2 %3").arg(tag).arg(i).arg(QString(40, tag)));
            });
        };
        std::unique_ptr<QThread> a(writer(u'a'));
        std::unique_ptr<QThread> b(writer(u'b'));
        a->start();
        b->start();
        QVERIFY(a->wait(60000));
        QVERIFY(b->wait(60000));

        const QStringList lines = QString::fromUtf8(readAll(AppPaths::log())).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2 * perThread);
        int next[2] = {0, 0};
        for (const QString &line : lines) {
            const auto match = linePattern.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            const QStringList parts = match.captured(1).split(u' ');
            QCOMPARE(parts.size(), 3);
            const QChar tag = parts[0].at(0);
            QCOMPARE(parts[2], QString(40, tag));
            // Each thread's lines appear whole and in its own order.
            QCOMPARE(parts[1].toInt(), next[tag == u'b']++);
        }
    }
};

KESTRIN_TEST_MAIN(DebugLogTest)
#include "tst_debuglog.moc"
