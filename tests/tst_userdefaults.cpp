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
    void init() { m_path = m_dir.filePath(QStringLiteral("%1/defaults.json").arg(QTest::currentTestFunction())); }

    void valuesComeBackWithTheirTypeFromAPrivateReadableFile()
    {
        const QByteArray binary("\x00\x01\xff{\"json\":true}", 16);
        const QList<std::pair<QString, UserDefaults::Value>> values = {
            {QStringLiteral("text"), QStringLiteral("am_michael ✓")}, {QStringLiteral("empty text"), QString()},
            {QStringLiteral("yes"), true}, {QStringLiteral("no"), false}, {QStringLiteral("whole"), 1.0},
            {QStringLiteral("fraction"), 0.1}, {QStringLiteral("data"), binary}, {QStringLiteral("empty data"), QByteArray()}};
        UserDefaults writer(m_path);
        for (const auto &[key, value] : values)
            QVERIFY(writer.set(key, value));
        const UserDefaults store(m_path); // reads everything back from the file alone
        for (const auto &[key, value] : values)
            QVERIFY2(store.value(key) == value, qPrintable(key));
        QCOMPARE(store.boolean(QStringLiteral("yes")), true);
        QVERIFY(!store.number(QStringLiteral("yes"))); // a boolean is not the number 1
        QVERIFY(!store.boolean(QStringLiteral("whole")));
        QVERIFY(!store.text(QStringLiteral("data")));

        // JSON's own types where it has them, data tagged; private, and no temporary files left.
        const QJsonObject object = QJsonDocument::fromJson(readAll(m_path)).object();
        QCOMPARE(object.value(QStringLiteral("no")), QJsonValue(false));
        QCOMPARE(object.value(QStringLiteral("data")).toObject().value(QStringLiteral("data")).toString(), QString::fromLatin1(binary.toBase64()));
        QCOMPARE(modeOf(m_path), 0600);
        QCOMPARE(modeOf(QFileInfo(m_path).absolutePath()), 0700);
        QCOMPARE(QDir(QFileInfo(m_path).absolutePath()).entryList(QDir::Files), QStringList{QStringLiteral("defaults.json")});
    }

    void absentKeysRefusedNumbersAndFailedWrites()
    {
        UserDefaults store(m_path);
        QVERIFY(!store.contains(QStringLiteral("k")));
        QVERIFY(!QFile::exists(m_path)); // reading creates nothing
        QVERIFY(store.set(QStringLiteral("k"), false) && store.contains(QStringLiteral("k")));
        QVERIFY(store.remove(QStringLiteral("k")) && store.remove(QStringLiteral("never there")));
        QVERIFY(!UserDefaults(m_path).contains(QStringLiteral("k")));

        QVERIFY(store.set(QStringLiteral("n"), 7.0));
        QVERIFY(!store.set(QStringLiteral("n"), std::nan("")));
        QVERIFY(!store.set(QStringLiteral("n"), HUGE_VAL));
        QCOMPARE(UserDefaults(m_path).number(QStringLiteral("n")), 7.0);

        UserDefaults blocked(m_path + QStringLiteral("/defaults.json")); // a file where the folder should be
        QVERIFY(!blocked.set(QStringLiteral("k"), QStringLiteral("v")));
        QCOMPARE(blocked.text(QStringLiteral("k")), QStringLiteral("v")); // kept in memory
        QCOMPARE(UserDefaults::standard().filePath(),
                 QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/Kestrin AI/defaults.json"));
    }

    void corruptFileReadsEmptyAndIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated") << QByteArray("{\"settings.kokoroVoice\": \"am_ad");
        QTest::newRow("an array") << QByteArray("[1, 2, 3]");
        QTest::newRow("empty") << QByteArray();
    }
    void corruptFileReadsEmptyAndIsKeptAside()
    {
        QFETCH(QByteArray, content);
        writeAll(m_path, content);
        UserDefaults store(m_path);
        QVERIFY(!store.contains(QStringLiteral("settings.kokoroVoice")));
        QVERIFY(store.set(QStringLiteral("a"), true));
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
};

KESTRIN_TEST_MAIN(UserDefaultsTest)
#include "tst_userdefaults.moc"
