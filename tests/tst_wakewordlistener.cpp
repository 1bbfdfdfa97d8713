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
#include <QTemporaryDir>

using namespace std::chrono_literals;
using TestSupport::setVoiceAccess;

class WakeWordListenerTest : public QObject
{
    Q_OBJECT

    std::chrono::steady_clock::duration m_clockOffset{};
    std::chrono::seconds m_advanceAtHeard{};
    qint64 m_logMark = 0;
    QStringList m_calls; // what the listener handed on: "wake <word> <command>", "heard <word>", "gave-up"
    SpokenAudio m_audio;

    QString log() const { return QString::fromUtf8(TestSupport::readAll(AppPaths::log()).mid(m_logMark)); }

    /// A listener on file audio (nothing loaded yet) with a clock the test moves on; a frozen
    /// one stands still between the test's steps.
    std::unique_ptr<WakeWordListener> listener(WakeWordListener::Timing timing = {}, bool frozen = false)
    {
        auto engine = std::make_unique<FileAudioEngine>();
        engine->setSpeed(1.0);
        engine->setTrailingSilence(2500ms);
        const auto origin = std::chrono::steady_clock::now();
        auto l = std::make_unique<WakeWordListener>(
            std::move(engine), [](const QString &locale) { return SpeechRecognizer::create(locale); }, timing,
            [this, origin, frozen] { return (frozen ? origin : std::chrono::steady_clock::now()) + m_clockOffset; });
        l->onWake = [this](WakeWord word, const QString &command) { m_calls << QStringLiteral("wake %1 %2").arg(word.rawValue(), command); };
        l->onWakeWordHeard = [this](WakeWord word) {
            m_calls << "heard " + word.rawValue();
            m_clockOffset += m_advanceAtHeard;
        };
        l->onWakeWordGaveUp = [this] { m_calls << "gave-up"; };
        return l;
    }

    /// Every call the listener made has its log line.
    void verifyCallsLogged()
    {
        const QString text = log();
        QString pending;
        for (const QString &call : std::as_const(m_calls)) {
            const QString kind = call.section(' ', 0, 0);
            const QString word = call.section(' ', 1, 1);
            const QString line = kind == "heard"
                ? QStringLiteral("heard %1 with no command yet \u2014 will treat the next utterance as the command").arg(word)
                : kind == "gave-up" ? "gave up waiting for a command after " + pending
                                    : QStringLiteral("MATCHED %1%2 command=\"%3\"").arg(word, word == pending ? QStringLiteral(" (pending)") : QString(), call.section(' ', 2));
            pending = kind == "heard" ? word : QString();
            QVERIFY2(text.contains("WakeWordListener " + line + '\n'), qPrintable(line));
        }
    }

private slots:
    void init()
    {
        m_clockOffset = {};
        m_advanceAtHeard = {};
        m_calls.clear();
        m_logMark = QFileInfo(AppPaths::log()).size();
        setVoiceAccess(true);
        SettingsStore::shared()->setWakeWordCommandTimeout(7);
    }

    void settledUtterances_data()
    {
        QTest::addColumn<int>("window");        // the command window setting, in seconds
        QTest::addColumn<QStringList>("steps"); // "+N text": said N seconds after the first
        QTest::addColumn<QStringList>("calls");
        const auto once = [](const QString &text) { return QStringList{"+0 " + text}; };
        QTest::newRow("phrase and command, punctuation trimmed") << 7 << once("Hey Tarvik, what time is it?") << QStringList{"wake tarvik what time is it"};
        QTest::newRow("the phrase that starts later wins") << 7 << once("hey oryn hey kestrin open notes") << QStringList{"wake kestrin open notes"};
        QTest::newRow("inside a word still counts") << 7 << once("they oryn play music") << QStringList{"wake oryn play music"};
        QTest::newRow("no blank, no phrase") << 7 << once("heyoryn play music") << QStringList{};
        QTest::newRow("a comma breaks the phrase") << 7 << once("hey, tarvik what") << QStringList{};
        QTest::newRow("no phrase") << 7 << once("the weather is nice") << QStringList{};
        QTest::newRow("only punctuation after the phrase") << 7 << once("Hey Oryn!?.") << QStringList{"heard oryn"};
        QTest::newRow("command keeps inner punctuation") << 7 << once("hey kestrin, run ls -la.") << QStringList{"wake kestrin run ls -la"};
        // After a bare phrase, the next utterance within the window is its command.
        const auto bare = [](const QStringList &later) { return QStringList{"+0 hey tarvik"} + later; };
        const QString heard = "heard tarvik";
        QTest::newRow("command 3 s later") << 7 << bare({"+3 turn on the lights"}) << QStringList{heard, "wake tarvik turn on the lights"};
        QTest::newRow("exactly at the limit is in time") << 7 << bare({"+7 go"}) << QStringList{heard, "wake tarvik go"};
        QTest::newRow("9 s later: gave up, then searched") << 7 << bare({"+9 turn on the lights"}) << QStringList{heard, "gave-up"};
        QTest::newRow("9 s later with a phrase of its own") << 7 << bare({"+9 hey oryn open notes"}) << QStringList{heard, "gave-up", "wake oryn open notes"};
        QTest::newRow("9 s later in a 10 s window") << 10 << bare({"+9 what time is it"}) << QStringList{heard, "wake tarvik what time is it"};
        QTest::newRow("a phrase inside the command stays in it") << 7 << bare({"+1 hey kestrin what is this"})
                                                                 << QStringList{heard, "wake tarvik hey kestrin what is this"};
        QTest::newRow("punctuation only keeps the window and its start") << 7 << bare({"+2  ?! ", "+8 too late"}) << QStringList{heard, "gave-up"};
        QTest::newRow("punctuation only, then in time") << 7 << bare({"+2 ...", "+6 go"}) << QStringList{heard, "wake tarvik go"};
    }
    void settledUtterances()
    {
        QFETCH(int, window); QFETCH(QStringList, steps); QFETCH(QStringList, calls);
        SettingsStore::shared()->setWakeWordCommandTimeout(window);
        auto l = listener({}, true);
        for (const QString &step : steps) {
            m_clockOffset = std::chrono::seconds(step.section(' ', 0, 0).mid(1).toInt());
            l->processSettledUtterance(step.section(' ', 1), l->generation());
            QVERIFY(log().contains(QStringLiteral("WakeWordListener heard: \"%1\"\n").arg(step.section(' ', 1))));
        }
        QCOMPARE(m_calls, calls);
        QCOMPARE(l->pendingWakeWord().has_value(), calls.value(calls.size() - 1).startsWith("heard"));
        verifyCallsLogged();
    }

    void startNeedsAccessButNoRecognizer()
    {
        setVoiceAccess(false);
        QVERIFY(!listener()->start());
        QVERIFY(log().contains("Wake words are off: microphone and speech access not granted\n"));
        setVoiceAccess(true);
        WakeWordListener l(std::make_unique<FileAudioEngine>(), [](const QString &) { return std::unique_ptr<SpeechRecognizer>(); });
        QVERIFY(l.start());
        QVERIFY(!l.isActive());
        QVERIFY(log().contains("WakeWordListener.beginSession: recognizer unavailable\n"));
    }

    void restartsAreSpacedAndStaleOnesDoNothing()
    {
        auto l = listener({1100ms, 400ms});
        QSignalSpy runs(l.get(), &WakeWordListener::runStarted);
        QVERIFY(l->start());
        QVERIFY(l->isActive());
        QVERIFY(l->start()); // already active: nothing changes
        QCOMPARE(runs.size(), 1);
        QVERIFY(log().contains("WakeWordListener session began\n"));

        // A settled utterance ends the run; the next starts no sooner than the interval.
        const qint64 first = l->generation();
        l->processSettledUtterance("nothing here", first);
        QCOMPARE(l->generation(), first + 1);
        QVERIFY(runs.wait(2000));
        QCOMPARE(runs.last().at(0).toLongLong(), first + 1);
        l->processSettledUtterance("nothing here", first); // of a replaced run: changes nothing
        QCOMPARE(l->generation(), first + 1);

        // Stop while a restart is scheduled: the restart does nothing; start begins afresh.
        l->processSettledUtterance("again", l->generation());
        l->stop();
        QVERIFY(!l->isActive());
        QVERIFY(!runs.wait(800));
        const qint64 stopped = l->generation();
        QVERIFY(l->start());
        QCOMPARE(runs.last().at(0).toLongLong(), stopped);
        // Stop also ends a command window.
        l->processSettledUtterance("hey kestrin", l->generation());
        QVERIFY(l->pendingWakeWord());
        l->stop();
        QVERIFY(!l->pendingWakeWord());
        QTest::qWait(600);
        QCOMPARE(runs.last().at(0).toLongLong(), stopped);
    }

    void spokenWakeWords_data()
    {
        QTest::addColumn<QStringList>("parts"); // spoken texts, "~N" for N seconds of silence
        QTest::addColumn<QString>("voice"), QTest::addColumn<double>("noise");
        QTest::addColumn<int>("advanceAtHeard"); // seconds the clock jumps at the bare phrase
        QTest::addColumn<QStringList>("expected"); // "wake tarvik time|what": the word and any of those command words
        const QStringList bareThenCommand{"hey tarvik", "~3", "what time is it"};
        QTest::newRow("phrase and command") << QStringList{"hey tarvik what time is it"} << "slt" << 0.0 << 0 << QStringList{"wake tarvik time"};
        QTest::newRow("in noise") << QStringList{"hey tarvik what time is it"} << "rms" << 0.02 << 0 << QStringList{"wake tarvik time"};
        QTest::newRow("bare phrase, command 3 s later") << bareThenCommand << "slt" << 0.0 << 0 << QStringList{"heard tarvik", "wake tarvik what|time"};
        QTest::newRow("bare phrase, command 9 s later") << bareThenCommand << "awb" << 0.0 << 6 << QStringList{"heard tarvik", "gave-up"};
        QTest::newRow("no phrase") << QStringList{"the weather is nice today"} << "rms" << 0.0 << 0 << QStringList{};
    }
    void spokenWakeWords()
    {
        QFETCH(QStringList, parts); QFETCH(QString, voice); QFETCH(double, noise);
        QFETCH(int, advanceAtHeard); QFETCH(QStringList, expected);
        QStringList files{m_audio.quiet(1.0)};
        for (const QString &part : parts)
            files << (part.startsWith(u'~') ? m_audio.quiet(part.mid(1).toDouble()) : m_audio.say(part, voice, {}, noise));
        const QString wav = files.contains(QString()) ? QString() : m_audio.join(files, 0);
        QVERIFY2(!wav.isEmpty(), qPrintable(m_audio.lastError()));

        m_advanceAtHeard = std::chrono::seconds(advanceAtHeard);
        auto l = listener();
        auto &input = *static_cast<FileAudioEngine *>(l->audioEngine());
        QVERIFY(input.load(wav));
        QSignalSpy played(&input, &FileAudioEngine::finished);
        QVERIFY(l->start());
        QVERIFY(played.wait(60000));
        QTest::qWait(1500); // the last utterance settles
        QStringList heard; // for failure messages
        for (const QString &line : log().split(u'\n'))
            if (line.contains("WakeWordListener heard: "))
                heard << line.section("heard: ", 1);
        const QByteArray story = (m_calls.join("; ") + " / heard " + heard.join(", ")).toUtf8();
        QVERIFY2(TestSupport::wakeCallsMatch(m_calls, expected), story);
        l->stop();
        verifyCallsLogged();
    }

    void aModelThatFailsToLoadStopsTheListener()
    {
        // Every file the recognizer looks for is there, but the acoustic model is incomplete:
        // each run fails at once, which must not turn into a restart every 1.5 s for ever.
        QTemporaryDir model;
        const QString real = SpeechRecognizer::defaultModelFolder();
        QVERIFY(QDir(model.path()).mkdir(QStringLiteral("en-us")));
        for (const QString &name : {QStringLiteral("cmudict-en-us.dict"), QStringLiteral("en-us.lm.bin"), QStringLiteral("en-us/mdef")})
            QVERIFY(QFile::link(real + u'/' + name, model.filePath(name)));
        auto engine = std::make_unique<FileAudioEngine>();
        WakeWordListener l(std::move(engine), [&](const QString &locale) { return SpeechRecognizer::create(locale, model.path()); },
                           {std::chrono::milliseconds(1100), std::chrono::milliseconds(50)});
        QVERIFY(l.start());
        QTRY_VERIFY(!l.isActive());
        QTest::qWait(200);
        QCOMPARE(log().count(QStringLiteral("WakeWordListener stopped: speech recognition is unavailable")), 1);
        QCOMPARE(log().count(QStringLiteral("WakeWordListener task error")), 1);
    }
};

KESTRIN_TEST_MAIN(WakeWordListenerTest)
#include "tst_wakewordlistener.moc"
