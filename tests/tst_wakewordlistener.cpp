// The wake-word listener: the settled-utterance rules on text, the generation guard, and real
// speech (made with flite at test time) through the file audio engine into the recognizer.

#include "AppPaths.h"
#include "FileAudioEngine.h"
#include "Permissions.h"
#include "SettingsStore.h"
#include "SpeechRecognizer.h"
#include "SpokenAudio.h"
#include "TestSupport.h"
#include "WakeWordListener.h"

#include <QSignalSpy>

using namespace std::chrono_literals;

namespace {

QString logText()
{
    return QString::fromUtf8(TestSupport::readAll(AppPaths::log()));
}

/// What the listener handed on, one line per callback.
struct Calls
{
    QStringList lines;

    void attach(WakeWordListener &listener)
    {
        listener.onWake = [this](WakeWord word, const QString &command) { lines << QStringLiteral("wake %1 %2").arg(word.rawValue(), command); };
        listener.onWakeWordHeard = [this](WakeWord word) { lines << QStringLiteral("heard ") + word.rawValue(); };
        listener.onWakeWordGaveUp = [this] { lines << QStringLiteral("gave-up"); };
    }
};

void setVoiceAccess(bool granted)
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

} // namespace

class WakeWordListenerTest : public QObject
{
    Q_OBJECT

    std::chrono::steady_clock::duration m_clockOffset{};
    SpokenAudio m_audio;

    /// A listener on file audio (nothing loaded yet) with a clock the test can move on.
    std::unique_ptr<WakeWordListener> listener(WakeWordListener::Timing timing = {})
    {
        auto engine = std::make_unique<FileAudioEngine>();
        engine->setSpeed(1.0);
        engine->setTrailingSilence(2500ms);
        return std::make_unique<WakeWordListener>(
            std::move(engine), [](const QString &locale) { return SpeechRecognizer::create(locale); }, timing,
            [this] { return std::chrono::steady_clock::now() + m_clockOffset; });
    }

    static FileAudioEngine &fileInput(WakeWordListener &l) { return *static_cast<FileAudioEngine *>(l.audioEngine()); }

private slots:
    void init()
    {
        m_clockOffset = {};
        setVoiceAccess(true);
        SettingsStore::shared()->setWakeWordCommandTimeout(7);
    }

    // --- one settled utterance ---

    void settledUtterance_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("calls");

        QTest::newRow("phrase with a command, punctuation trimmed") << QStringLiteral("Hey Tarvik, what time is it?")
                                                                     << QStringList{QStringLiteral("wake tarvik what time is it")};
        QTest::newRow("the phrase that starts later wins") << QStringLiteral("hey oryn hey kestrin open notes")
                                                           << QStringList{QStringLiteral("wake kestrin open notes")};
        QTest::newRow("inside a word still counts") << QStringLiteral("they oryn play music") << QStringList{QStringLiteral("wake oryn play music")};
        QTest::newRow("no blank, no phrase") << QStringLiteral("heyoryn play music") << QStringList{};
        QTest::newRow("a comma breaks the phrase") << QStringLiteral("hey, tarvik what") << QStringList{};
        QTest::newRow("no phrase") << QStringLiteral("the weather is nice") << QStringList{};
        QTest::newRow("bare phrase") << QStringLiteral("hey tarvik") << QStringList{QStringLiteral("heard tarvik")};
        QTest::newRow("only punctuation after the phrase") << QStringLiteral("Hey Oryn!?.") << QStringList{QStringLiteral("heard oryn")};
        QTest::newRow("command keeps inner punctuation") << QStringLiteral("hey kestrin, run ls -la.")
                                                         << QStringList{QStringLiteral("wake kestrin run ls -la")};
    }

    void settledUtterance()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, calls);
        auto l = listener();
        Calls seen;
        seen.attach(*l);
        l->processSettledUtterance(text, l->generation());
        QCOMPARE(seen.lines, calls);
        QVERIFY(logText().contains(QStringLiteral("WakeWordListener heard: \"%1\"\n").arg(text)));
        if (!calls.isEmpty() && calls.first().startsWith(QLatin1String("wake "))) {
            const QString word = calls.first().section(QLatin1Char(' '), 1, 1);
            const QString command = calls.first().section(QLatin1Char(' '), 2);
            QVERIFY(logText().contains(QStringLiteral("WakeWordListener MATCHED %1 command=\"%2\"\n").arg(word, command)));
        }
    }

    void commandWindow_data()
    {
        QTest::addColumn<QStringList>("steps"); // "+N text": N seconds after the bare phrase
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<bool>("stillPending");

        QTest::newRow("command 3 s later") << QStringList{QStringLiteral("+3 turn on the lights")}
                                           << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("wake tarvik turn on the lights")} << false;
        QTest::newRow("9 s later: gave up, then searched")
            << QStringList{QStringLiteral("+9 turn on the lights")} << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("gave-up")} << false;
        QTest::newRow("9 s later with a phrase of its own")
            << QStringList{QStringLiteral("+9 hey oryn open notes")}
            << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("gave-up"), QStringLiteral("wake oryn open notes")} << false;
        QTest::newRow("a phrase inside the command stays in it")
            << QStringList{QStringLiteral("+1 hey kestrin what is this")}
            << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("wake tarvik hey kestrin what is this")} << false;
        QTest::newRow("punctuation only keeps the window and its start")
            << QStringList{QStringLiteral("+2  ?! "), QStringLiteral("+8 too late")}
            << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("gave-up")} << false;
        QTest::newRow("punctuation only, then in time")
            << QStringList{QStringLiteral("+2 ..."), QStringLiteral("+6 go")}
            << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("wake tarvik go")} << false;
        QTest::newRow("exactly at the limit is in time") << QStringList{QStringLiteral("+7 go")}
                                                         << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("wake tarvik go")} << false;
    }

    void commandWindow()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, calls);
        QFETCH(bool, stillPending);
        Calls seen;
        // A clock that stands still between steps, so the offsets are exact.
        const auto origin = std::chrono::steady_clock::now();
        auto frozen = std::make_unique<WakeWordListener>(
            std::make_unique<FileAudioEngine>(), [](const QString &) { return std::unique_ptr<SpeechRecognizer>(); },
            WakeWordListener::Timing{}, [this, origin] { return origin + m_clockOffset; });
        seen.attach(*frozen);
        frozen->processSettledUtterance(QStringLiteral("hey tarvik"), frozen->generation());
        for (const QString &step : steps) {
            const int seconds = step.section(QLatin1Char(' '), 0, 0).mid(1).toInt();
            m_clockOffset = std::chrono::seconds(seconds);
            frozen->processSettledUtterance(step.section(QLatin1Char(' '), 1), frozen->generation());
        }
        QCOMPARE(seen.lines, calls);
        QCOMPARE(frozen->pendingWakeWord().has_value(), stillPending);
        if (calls.contains(QStringLiteral("gave-up")))
            QVERIFY(logText().contains(QStringLiteral("WakeWordListener gave up waiting for a command after tarvik\n")));
        QVERIFY(logText().contains(
            QStringLiteral("WakeWordListener heard tarvik with no command yet \u2014 will treat the next utterance as the command\n")));
    }

    void windowFollowsTheSetting()
    {
        SettingsStore::shared()->setWakeWordCommandTimeout(10);
        const auto origin = std::chrono::steady_clock::now();
        WakeWordListener l(std::make_unique<FileAudioEngine>(), {}, {}, [this, origin] { return origin + m_clockOffset; });
        Calls seen;
        seen.attach(l);
        l.processSettledUtterance(QStringLiteral("hey oryn"), 0);
        m_clockOffset = 9s;
        l.processSettledUtterance(QStringLiteral("what time is it"), 0);
        QCOMPARE(seen.lines, (QStringList{QStringLiteral("heard oryn"), QStringLiteral("wake oryn what time is it")}));
        QVERIFY(logText().contains(QStringLiteral("WakeWordListener MATCHED oryn (pending) command=\"what time is it\"\n")));
    }

    // --- starting, stopping, generations ---

    void startNeedsVoiceAccess()
    {
        setVoiceAccess(false);
        auto l = listener();
        QVERIFY(!l->start());
        QVERIFY(!l->isActive());
        QVERIFY(logText().contains(QStringLiteral("Wake words are off: microphone and speech access not granted\n")));
    }

    void withoutRecognizerStartStillSaysTrue()
    {
        WakeWordListener l(std::make_unique<FileAudioEngine>(), [](const QString &) { return std::unique_ptr<SpeechRecognizer>(); });
        QVERIFY(l.start());
        QVERIFY(!l.isActive());
        QVERIFY(logText().contains(QStringLiteral("WakeWordListener.beginSession: recognizer unavailable\n")));
    }

    void restartsAreSpacedAndStaleOnesDoNothing()
    {
        auto l = listener({1100ms, 400ms});
        QSignalSpy runs(l.get(), &WakeWordListener::runStarted);
        QVERIFY(l->start());
        QVERIFY(l->isActive());
        QVERIFY(l->start()); // already active: nothing changes
        QCOMPARE(runs.size(), 1);
        QVERIFY(logText().contains(QStringLiteral("WakeWordListener session began\n")));

        // A settled utterance ends the run; the next starts no sooner than the interval.
        const qint64 first = l->generation();
        l->processSettledUtterance(QStringLiteral("nothing here"), first);
        QCOMPARE(l->generation(), first + 1);
        QVERIFY(runs.wait(2000));
        QCOMPARE(runs.last().at(0).toLongLong(), first + 1);

        // An utterance of a replaced run changes nothing.
        l->processSettledUtterance(QStringLiteral("nothing here"), first);
        QCOMPARE(l->generation(), first + 1);

        // Stop while a restart is scheduled: the restart does nothing; start begins afresh.
        l->processSettledUtterance(QStringLiteral("again"), l->generation());
        l->stop();
        QVERIFY(!l->isActive());
        QVERIFY(!runs.wait(800));
        const qint64 stopped = l->generation();
        QVERIFY(l->start());
        QCOMPARE(runs.last().at(0).toLongLong(), stopped);
        l->stop();
        QTest::qWait(600);
        QCOMPARE(runs.last().at(0).toLongLong(), stopped);
    }

    void stopEndsTheCommandWindow()
    {
        auto l = listener();
        QVERIFY(l->start());
        l->processSettledUtterance(QStringLiteral("hey kestrin"), l->generation());
        QVERIFY(l->pendingWakeWord().has_value());
        l->stop();
        QVERIFY(!l->pendingWakeWord().has_value());
    }

    // --- real speech ---

    void spokenWakeWords_data()
    {
        QTest::addColumn<QStringList>("parts"); // spoken texts, "~N" for N seconds of silence
        QTest::addColumn<QString>("voice");
        QTest::addColumn<double>("noise");
        QTest::addColumn<int>("advanceAfterHeard"); // seconds the clock jumps at onWakeWordHeard
        QTest::addColumn<QStringList>("expected");  // "wake tarvik time" = the word and a word of the command

        QTest::newRow("phrase and command") << QStringList{QStringLiteral("hey tarvik what time is it")} << QStringLiteral("slt") << 0.0 << 0
                                            << QStringList{QStringLiteral("wake tarvik time")};
        QTest::newRow("in noise") << QStringList{QStringLiteral("hey tarvik what time is it")} << QStringLiteral("rms") << 0.02 << 0
                                  << QStringList{QStringLiteral("wake tarvik time")};
        QTest::newRow("two phrases, the later wins") << QStringList{QStringLiteral("hey oryn hey kestrin open notes")} << QStringLiteral("slt")
                                                     << 0.0 << 0 << QStringList{QStringLiteral("wake kestrin notes")};
        QTest::newRow("bare phrase, command 3 s later")
            << QStringList{QStringLiteral("hey tarvik"), QStringLiteral("~3"), QStringLiteral("what time is it")} << QStringLiteral("slt") << 0.0 << 0
            << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("wake tarvik what|time")};
        QTest::newRow("bare phrase, command 9 s later")
            << QStringList{QStringLiteral("hey tarvik"), QStringLiteral("~3"), QStringLiteral("what time is it")} << QStringLiteral("awb") << 0.0 << 6
            << QStringList{QStringLiteral("heard tarvik"), QStringLiteral("gave-up")};
        QTest::newRow("no phrase") << QStringList{QStringLiteral("the weather is nice today")} << QStringLiteral("rms") << 0.0 << 0 << QStringList{};
    }

    void spokenWakeWords()
    {
        QFETCH(QStringList, parts);
        QFETCH(QString, voice);
        QFETCH(double, noise);
        QFETCH(int, advanceAfterHeard);
        QFETCH(QStringList, expected);

        QStringList files{m_audio.quiet(1.0)};
        for (const QString &part : parts)
            files << (part.startsWith(u'~') ? m_audio.quiet(part.mid(1).toDouble()) : m_audio.say(part, voice, {}, noise));
        QVERIFY2(!files.contains(QString()), qPrintable(m_audio.lastError()));
        const QString wav = m_audio.join(files, 0);
        QVERIFY2(!wav.isEmpty(), qPrintable(m_audio.lastError()));

        auto l = listener();
        QStringList seen;
        l->onWake = [&](WakeWord word, const QString &command) { seen << QStringLiteral("wake %1 %2").arg(word.rawValue(), command); };
        l->onWakeWordHeard = [&](WakeWord word) {
            seen << QStringLiteral("heard ") + word.rawValue();
            m_clockOffset += std::chrono::seconds(advanceAfterHeard);
        };
        l->onWakeWordGaveUp = [&] { seen << QStringLiteral("gave-up"); };
        QVERIFY(fileInput(*l).load(wav));
        QSignalSpy played(&fileInput(*l), &FileAudioEngine::finished);
        QVERIFY(l->start());
        QVERIFY(played.wait(60000));
        QTest::qWait(1500); // the last utterance settles

        const auto heard = [] {
            QStringList lines;
            for (const QString &line : logText().split(u'\n'))
                if (line.contains(QLatin1String("WakeWordListener heard: ")))
                    lines << line.section(QLatin1String("heard: "), 1);
            return lines.join(QLatin1String(", "));
        };
        QVERIFY2(seen.size() == expected.size(), qPrintable(seen.join(QLatin1String("; ")) + QLatin1String(" / heard ") + heard()));
        for (qsizetype i = 0; i < expected.size(); ++i) {
            const QStringList want = expected[i].split(u' ');
            const QStringList got = seen[i].split(u' ');
            QCOMPARE(got.mid(0, 2), want.mid(0, 2));
            const auto hasWord = [&got](const QString &word) { return got.mid(2).contains(word); };
            const QStringList anyOf = want.value(2).split(u'|', Qt::SkipEmptyParts); // "a|b": either word
            if (!anyOf.isEmpty())
                QVERIFY2(std::any_of(anyOf.cbegin(), anyOf.cend(), hasWord), qPrintable(seen[i] + QLatin1String(" / heard ") + heard()));
        }
        l->stop();
    }
};

KESTRIN_TEST_MAIN(WakeWordListenerTest)
#include "tst_wakewordlistener.moc"
