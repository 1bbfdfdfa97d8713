#include "SettingsStore.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QSignalSpy>

using Stored = std::optional<UserDefaults::Value>;
Q_DECLARE_METATYPE(Stored)

class SettingsStoreTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_case = 0;

    QString freshPath() { return m_dir.filePath(QStringLiteral("%1.json").arg(++m_case)); }

private slots:
    // The keys are spelled out: they are the file's format. An empty store gives the defaults.
    void storedValuesLoad_data()
    {
        QTest::addColumn<QString>("name"), QTest::addColumn<Stored>("stored"), QTest::addColumn<QVariant>("loaded");
        QTest::newRow("no voice") << "kokoroVoice" << Stored() << QVariant(QStringLiteral("am_michael"));
        QTest::newRow("voice not offered, kept") << "kokoroVoice" << Stored(QStringLiteral("bf_emma")) << QVariant(QStringLiteral("bf_emma"));
        QTest::newRow("no shell setting") << "shellCommandsEnabled" << Stored() << QVariant(true);
        QTest::newRow("shell false") << "shellCommandsEnabled" << Stored(false) << QVariant(false);
        QTest::newRow("shell as text") << "shellCommandsEnabled" << Stored(QStringLiteral("false")) << QVariant(true);
        QTest::newRow("no wait") << "wakeWordCommandTimeout" << Stored() << QVariant(7.0);
        QTest::newRow("wait 30, no upper bound") << "wakeWordCommandTimeout" << Stored(30.0) << QVariant(30.0);
        QTest::newRow("wait 0") << "wakeWordCommandTimeout" << Stored(0.0) << QVariant(7.0);
    }
    void storedValuesLoad()
    {
        QFETCH(QString, name); QFETCH(Stored, stored); QFETCH(QVariant, loaded);
        UserDefaults defaults(freshPath());
        if (stored)
            QVERIFY(UserDefaults(defaults.filePath()).set(QStringLiteral("settings.") + name, *stored));
        const SettingsStore store(defaults);
        QCOMPARE(store.property(name.toLatin1()), loaded);
        QCOMPARE(QFile::exists(defaults.filePath()), bool(stored)); // loading writes nothing
    }

    void assignmentWritesAtOnceEvenWhenUnchanged()
    {
        UserDefaults defaults(freshPath());
        SettingsStore store(defaults);
        QSignalSpy voiceSpy(&store, &SettingsStore::kokoroVoiceChanged);
        QSignalSpy shellSpy(&store, &SettingsStore::shellCommandsEnabledChanged);
        QSignalSpy waitSpy(&store, &SettingsStore::wakeWordCommandTimeoutChanged);
        store.setShellCommandsEnabled(true); // the default: stored all the same, nothing to redraw
        QCOMPARE(UserDefaults(defaults.filePath()).boolean(QStringLiteral("settings.shellCommandsEnabled")), true);
        QCOMPARE(shellSpy.count(), 0);
        store.setKokoroVoice(QStringLiteral("am_onyx"));
        store.setShellCommandsEnabled(false);
        store.setWakeWordCommandTimeout(12);
        QCOMPARE((QList<qsizetype>{voiceSpy.count(), shellSpy.count(), waitSpy.count()}), (QList<qsizetype>{1, 1, 1}));
        UserDefaults reread(defaults.filePath());
        const SettingsStore next(reread);
        QCOMPARE((QVariantList{next.kokoroVoice(), next.shellCommandsEnabled(), next.wakeWordCommandTimeout()}),
                 (QVariantList{QStringLiteral("am_onyx"), false, 12.0}));
    }

    void sharedStoreUsesTheStandardDefaults()
    {
        QVERIFY(SettingsStore::availableKokoroVoices().contains(SettingsStore::shared()->kokoroVoice()));
        SettingsStore::shared()->setKokoroVoice(QStringLiteral("am_liam"));
        QVERIFY(TestSupport::readAll(UserDefaults::standard().filePath()).contains("\"settings.kokoroVoice\": \"am_liam\""));
    }
};

KESTRIN_TEST_MAIN(SettingsStoreTest)
#include "tst_settingsstore.moc"
