#include "SettingsStore.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QSignalSpy>

using namespace TestSupport;

Q_DECLARE_METATYPE(UserDefaults::Value)

class SettingsStoreTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_case = 0;

    QString freshPath() { return m_dir.filePath(QStringLiteral("%1.json").arg(++m_case)); }

private slots:
    void emptyStoreGivesDefaults()
    {
        UserDefaults defaults(freshPath());
        const SettingsStore store(defaults);
        QCOMPARE(store.kokoroVoice(), QStringLiteral("am_michael"));
        QCOMPARE(store.shellCommandsEnabled(), true);
        QCOMPARE(store.wakeWordCommandTimeout(), 7.0);
        QVERIFY(!QFile::exists(defaults.filePath())); // loading writes nothing
    }

    void storedValuesLoad_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<UserDefaults::Value>("stored");
        QTest::addColumn<QVariant>("loaded");
        const QString voice = QLatin1String(SettingsStore::kokoroVoiceKey);
        const QString shell = QLatin1String(SettingsStore::shellCommandsEnabledKey);
        const QString wait = QLatin1String(SettingsStore::wakeWordCommandTimeoutKey);
        QTest::newRow("voice from the list") << voice << UserDefaults::Value(QStringLiteral("am_puck")) << QVariant(QStringLiteral("am_puck"));
        QTest::newRow("voice not in the list, kept") << voice << UserDefaults::Value(QStringLiteral("bf_emma")) << QVariant(QStringLiteral("bf_emma"));
        QTest::newRow("voice stored as a number") << voice << UserDefaults::Value(3.0) << QVariant(QStringLiteral("am_michael"));
        QTest::newRow("shell false") << shell << UserDefaults::Value(false) << QVariant(false);
        QTest::newRow("shell true") << shell << UserDefaults::Value(true) << QVariant(true);
        QTest::newRow("shell stored as text") << shell << UserDefaults::Value(QStringLiteral("false")) << QVariant(true);
        QTest::newRow("shell stored as 0") << shell << UserDefaults::Value(0.0) << QVariant(true);
        QTest::newRow("wait 30, no upper bound") << wait << UserDefaults::Value(30.0) << QVariant(30.0);
        QTest::newRow("wait 0.5") << wait << UserDefaults::Value(0.5) << QVariant(0.5);
        QTest::newRow("wait 0") << wait << UserDefaults::Value(0.0) << QVariant(7.0);
        QTest::newRow("wait negative") << wait << UserDefaults::Value(-4.0) << QVariant(7.0);
        QTest::newRow("wait stored as a boolean") << wait << UserDefaults::Value(true) << QVariant(7.0);
    }
    void storedValuesLoad()
    {
        QFETCH(QString, key);
        QFETCH(UserDefaults::Value, stored);
        QFETCH(QVariant, loaded);
        const QString path = freshPath();
        QVERIFY(UserDefaults(path).set(key, stored));
        UserDefaults defaults(path);
        const SettingsStore store(defaults);
        QVariant actual;
        if (key == QLatin1String(SettingsStore::kokoroVoiceKey))
            actual = store.kokoroVoice();
        else if (key == QLatin1String(SettingsStore::shellCommandsEnabledKey))
            actual = store.shellCommandsEnabled();
        else
            actual = store.wakeWordCommandTimeout();
        QCOMPARE(actual, loaded);
    }

    void assignmentWritesAtOnceEvenWhenUnchanged()
    {
        const QString path = freshPath();
        UserDefaults defaults(path);
        SettingsStore store(defaults);
        QSignalSpy voiceSpy(&store, &SettingsStore::kokoroVoiceChanged);
        QSignalSpy shellSpy(&store, &SettingsStore::shellCommandsEnabledChanged);
        QSignalSpy waitSpy(&store, &SettingsStore::wakeWordCommandTimeoutChanged);

        // Assigning the default value still stores it.
        store.setShellCommandsEnabled(true);
        QCOMPARE(UserDefaults(path).boolean(QLatin1String(SettingsStore::shellCommandsEnabledKey)), true);
        QCOMPARE(shellSpy.count(), 0); // nothing changed, nothing to redraw

        store.setKokoroVoice(QStringLiteral("am_onyx"));
        store.setShellCommandsEnabled(false);
        store.setWakeWordCommandTimeout(12);
        QCOMPARE(voiceSpy.count(), 1);
        QCOMPARE(shellSpy.count(), 1);
        QCOMPARE(waitSpy.count(), 1);

        // Another process (here: another store on the same file) sees the values at once.
        UserDefaults reread(path);
        QCOMPARE(reread.text(QLatin1String(SettingsStore::kokoroVoiceKey)), QStringLiteral("am_onyx"));
        QCOMPARE(reread.boolean(QLatin1String(SettingsStore::shellCommandsEnabledKey)), false);
        QCOMPARE(reread.number(QLatin1String(SettingsStore::wakeWordCommandTimeoutKey)), 12.0);
        const SettingsStore next(reread);
        QCOMPARE(next.kokoroVoice(), QStringLiteral("am_onyx"));
        QCOMPARE(next.shellCommandsEnabled(), false);
        QCOMPARE(next.wakeWordCommandTimeout(), 12.0);

        // An invalid wait is stored as given and falls back at the next launch.
        store.setWakeWordCommandTimeout(0);
        QCOMPARE(UserDefaults(path).number(QLatin1String(SettingsStore::wakeWordCommandTimeoutKey)), 0.0);
        UserDefaults later(path);
        QCOMPARE(SettingsStore(later).wakeWordCommandTimeout(), 7.0);
    }

    void voiceList()
    {
        const QStringList voices = SettingsStore::availableKokoroVoices();
        QCOMPARE(voices.size(), 9);
        QCOMPARE(voices.first(), QStringLiteral("am_adam"));
        QCOMPARE(voices.indexOf(QStringLiteral("am_michael")), 5);
        QCOMPARE(voices.last(), QStringLiteral("am_santa"));
    }

    void sharedStoreIsOneAndUsesTheStandardDefaults()
    {
        QCOMPARE(SettingsStore::shared(), SettingsStore::shared());
        SettingsStore::shared()->setKokoroVoice(QStringLiteral("am_liam"));
        QCOMPARE(UserDefaults::standard().text(QLatin1String(SettingsStore::kokoroVoiceKey)), QStringLiteral("am_liam"));
        QVERIFY(readAll(UserDefaults::standard().filePath()).contains("am_liam"));
    }
};

KESTRIN_TEST_MAIN(SettingsStoreTest)
#include "tst_settingsstore.moc"
