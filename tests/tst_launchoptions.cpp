// Launch flags: what each argument list means, and the hand-over form a second launch sends.

#include "LaunchOptions.h"
#include "TestSupport.h"

class LaunchOptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected"); // the flags found, in toArguments() form, or "export:PATH"

        QTest::newRow("nothing") << QStringList{} << QString();
        QTest::newRow("every plain flag") << QStringList{QStringLiteral("--tasks"), QStringLiteral("--demo"), QStringLiteral("--settings"),
                                                         QStringLiteral("--setup"), QStringLiteral("--expand"), QStringLiteral("--kestrin")}
                                          << QStringLiteral("--demo --kestrin --expand --setup --settings --tasks");
        QTest::newRow("exact match only") << QStringList{QStringLiteral("--demo2"), QStringLiteral("-demo"), QStringLiteral("--DEMO")} << QString();
        QTest::newRow("map with a place") << QStringList{QStringLiteral("--map=sao paulo")} << QStringLiteral("--map=sao paulo");
        QTest::newRow("map alone: empty place") << QStringList{QStringLiteral("--map=")} << QStringLiteral("--map=");
        QTest::newRow("several maps: the first") << QStringList{QStringLiteral("--map=tokyo"), QStringLiteral("--map=paris")}
                                                 << QStringLiteral("--map=tokyo");
        QTest::newRow("map without = is nothing") << QStringList{QStringLiteral("--map"), QStringLiteral("tokyo")} << QString();
        QTest::newRow("orb") << QStringList{QStringLiteral("--orb=thinking")} << QStringLiteral("--orb=thinking");
        QTest::newRow("orb alone") << QStringList{QStringLiteral("--orb=")} << QStringLiteral("--orb=");
        QTest::newRow("export icon") << QStringList{QStringLiteral("--export-icon"), QStringLiteral("/tmp/icons"), QStringLiteral("--demo")}
                                     << QStringLiteral("export:/tmp/icons --demo");
        QTest::newRow("export icon last: ignored") << QStringList{QStringLiteral("--demo"), QStringLiteral("--export-icon")}
                                                   << QStringLiteral("--demo");
    }

    void parse()
    {
        QFETCH(QStringList, arguments); QFETCH(QString, expected);
        const LaunchOptions options = LaunchOptions::parse(QStringList{QStringLiteral("kestrin-ai")} + arguments);
        QStringList found = options.toArguments();
        if (options.exportIconPath)
            found.prepend(QStringLiteral("export:") + *options.exportIconPath);
        QCOMPARE(found.join(u' '), expected);
        // A second launch hands these on; the running program reads the same flags back.
        LaunchOptions handedOver = LaunchOptions::parse(QStringList{QStringLiteral("kestrin-ai")} + options.toArguments());
        handedOver.exportIconPath = options.exportIconPath;
        QCOMPARE(handedOver, options);
    }

    void theProgramNameIsNotAFlag()
    {
        QVERIFY(!LaunchOptions::parse({QStringLiteral("--demo")}).demo);
    }

    void orb_data()
    {
        QTest::addColumn<QString>("word"), QTest::addColumn<QString>("state"), QTest::addColumn<QString>("label");
        QTest::newRow("thinking") << QStringLiteral("thinking") << QStringLiteral("thinking") << QStringLiteral("Thinking");
        QTest::newRow("speaking") << QStringLiteral("speaking") << QStringLiteral("speaking") << QStringLiteral("Speaking");
        QTest::newRow("listening") << QStringLiteral("listening") << QStringLiteral("listening") << QStringLiteral("Listening");
        QTest::newRow("unknown word") << QStringLiteral("foo") << QStringLiteral("listening") << QStringLiteral("Foo");
        QTest::newRow("case-sensitive") << QStringLiteral("Thinking") << QStringLiteral("listening") << QStringLiteral("Thinking");
        QTest::newRow("several words") << QStringLiteral("deep THOUGHT") << QStringLiteral("listening") << QStringLiteral("Deep Thought");
        QTest::newRow("empty") << QString() << QStringLiteral("listening") << QString();
    }

    void orb()
    {
        QFETCH(QString, word); QFETCH(QString, state); QFETCH(QString, label);
        QCOMPARE(LaunchOptions::orbState(word), state);
        QCOMPARE(LaunchOptions::orbLabel(word), label);
    }
};

KESTRIN_TEST_MAIN(LaunchOptionsTest)
#include "tst_launchoptions.moc"
