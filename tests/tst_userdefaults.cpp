#include "AppPaths.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

using namespace TestSupport;

class UserDefaultsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

private slots:
    void init() { m_path = m_dir.filePath(QStringLiteral("case%1/defaults.json").arg(QTest::currentTestFunction())); }

    void valuesComeBackWithTheirType()
    {
        const QByteArray binary("\x00\x01\xff{\"json\":true}", 16);
        {
            UserDefaults store(m_path);
            QVERIFY(store.set(QStringLiteral("text"), QStringLiteral("am_michael ✓")));
            QVERIFY(store.set(QStringLiteral("empty text"), QString()));
            QVERIFY(store.set(QStringLiteral("yes"), true));
            QVERIFY(store.set(QStringLiteral("no"), false));
            QVERIFY(store.set(QStringLiteral("whole"), 1.0));
            QVERIFY(store.set(QStringLiteral("fraction"), 0.1));
            QVERIFY(store.set(QStringLiteral("negative"), -30.25));
            QVERIFY(store.set(QStringLiteral("data"), binary));
            QVERIFY(store.set(QStringLiteral("empty data"), QByteArray()));
        }
        // A new store reads everything back from the file alone.
        const UserDefaults store(m_path);
        QCOMPARE(store.text(QStringLiteral("text")), QStringLiteral("am_michael ✓"));
        QCOMPARE(store.text(QStringLiteral("empty text")), QString());
        QCOMPARE(store.boolean(QStringLiteral("yes")), true);
        QCOMPARE(store.boolean(QStringLiteral("no")), false);
        QCOMPARE(store.number(QStringLiteral("whole")), 1.0);
        QCOMPARE(store.number(QStringLiteral("fraction")), 0.1); // exact, not rounded
        QCOMPARE(store.number(QStringLiteral("negative")), -30.25);
        QCOMPARE(store.data(QStringLiteral("data")), binary);
        QCOMPARE(store.data(QStringLiteral("empty data")), QByteArray());

        // Each value has one type only: a boolean is not the number 1, data is not text.
        QVERIFY(!store.number(QStringLiteral("yes")));
        QVERIFY(!store.boolean(QStringLiteral("whole")));
        QVERIFY(!store.text(QStringLiteral("data")));
        QVERIFY(!store.data(QStringLiteral("text")));
    }

    void absentKeysAreDistinctFromEveryValue()
    {
        UserDefaults store(m_path);
        QVERIFY(!store.contains(QStringLiteral("k")));
        QVERIFY(!store.value(QStringLiteral("k")));
        QVERIFY(!QFile::exists(m_path)); // reading creates nothing
        QVERIFY(store.set(QStringLiteral("k"), false));
        QVERIFY(store.contains(QStringLiteral("k")));
        QVERIFY(store.remove(QStringLiteral("k")));
        QVERIFY(!UserDefaults(m_path).contains(QStringLiteral("k")));
        QVERIFY(store.remove(QStringLiteral("never there")));
    }

    void nonFiniteNumbersAreRefused()
    {
        UserDefaults store(m_path);
        QVERIFY(store.set(QStringLiteral("n"), 7.0));
        QVERIFY(!store.set(QStringLiteral("n"), std::nan("")));
        QVERIFY(!store.set(QStringLiteral("n"), HUGE_VAL));
        QCOMPARE(UserDefaults(m_path).number(QStringLiteral("n")), 7.0);
    }

    void corruptFileReadsEmptyAndIsReplaced_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated") << QByteArray("{\"settings.kokoroVoice\": \"am_ad");
        QTest::newRow("not JSON") << QByteArray("\x00\x01garbage", 9);
        QTest::newRow("an array") << QByteArray("[1, 2, 3]");
        QTest::newRow("empty") << QByteArray();
    }
    void corruptFileReadsEmptyAndIsReplaced()
    {
        QFETCH(QByteArray, content);
        writeAll(m_path, content);
        UserDefaults store(m_path);
        QVERIFY(!store.contains(QStringLiteral("settings.kokoroVoice")));
        QVERIFY(store.set(QStringLiteral("a"), true));
        // The new file is whole; the bad one is kept aside, not silently lost.
        QCOMPARE(UserDefaults(m_path).boolean(QStringLiteral("a")), true);
        QCOMPARE(readAll(m_path + QStringLiteral(".corrupt")), content);
    }

    void oddEntriesCostOnlyThemselves()
    {
        writeAll(m_path, R"({"good": "yes", "array": [1], "null": null, "badData": {"data": "***"},
                            "tagged": {"data": "aGk=", "extra": 1}, "num": 3})");
        const UserDefaults store(m_path);
        QCOMPARE(store.text(QStringLiteral("good")), QStringLiteral("yes"));
        QCOMPARE(store.number(QStringLiteral("num")), 3.0);
        for (const char *key : {"array", "null", "badData", "tagged"})
            QVERIFY2(!store.contains(QLatin1String(key)), key);
    }

    void fileIsReadableJsonAndPrivate()
    {
        UserDefaults store(m_path);
        QVERIFY(store.set(QStringLiteral("settings.shellCommandsEnabled"), false));
        QVERIFY(store.set(QStringLiteral("oryn.tasks"), QByteArray("[]")));
        const QJsonObject object = QJsonDocument::fromJson(readAll(m_path)).object();
        QCOMPARE(object.value(QStringLiteral("settings.shellCommandsEnabled")), QJsonValue(false));
        QCOMPARE(object.value(QStringLiteral("oryn.tasks")).toObject().value(QStringLiteral("data")).toString(),
                 QStringLiteral("W10="));
        QCOMPARE(modeOf(m_path), 0600);
        QCOMPARE(modeOf(QFileInfo(m_path).absolutePath()), 0700);
        // No temporary files left beside it.
        QCOMPARE(QDir(QFileInfo(m_path).absolutePath()).entryList(QDir::Files), QStringList{QStringLiteral("defaults.json")});
    }

    void unwritableFolderKeepsValueInMemory()
    {
        // A plain file where the folder should be: the write fails, nothing crashes.
        writeAll(m_dir.filePath(QStringLiteral("blocker")), "x");
        UserDefaults store(m_dir.filePath(QStringLiteral("blocker/defaults.json")));
        QVERIFY(!store.set(QStringLiteral("k"), QStringLiteral("v")));
        QCOMPARE(store.text(QStringLiteral("k")), QStringLiteral("v"));
    }

    void standardStoreLivesInTheConfigFolder()
    {
        const QString expected = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/Kestrin AI/defaults.json");
        QCOMPARE(UserDefaults::standard().filePath(), expected);
        QCOMPARE(AppPaths::configDir(), QFileInfo(expected).absolutePath());
        QVERIFY(UserDefaults::standard().set(QStringLiteral("didSeeSetup"), true));
        QCOMPARE(modeOf(QFileInfo(expected).absolutePath()), 0700);
    }
};

KESTRIN_TEST_MAIN(UserDefaultsTest)
#include "tst_userdefaults.moc"
