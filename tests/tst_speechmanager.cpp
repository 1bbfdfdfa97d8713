// Dictation through the speech manager: recorded speech (made with flite at test time) played
// by the file audio engine into the real on-device recognizer.

#include "FileAudioEngine.h"
#include "SpeechManager.h"
#include "SpeechOutput.h"
#include "SpeechRecognizer.h"
#include "SpeechSynthesizer.h"
#include "SpokenAudio.h"
#include "TestSupport.h"

#include <QSignalSpy>

using namespace std::chrono_literals;

namespace {

/// A system voice that speaks nothing: these tests are about listening.
class SilentVoice : public SpeechSynthesizer
{
public:
    void say(const QString &) override { }
    void stop() override { }
};

struct Dictation
{
    FileAudioEngine *engine = nullptr;
    std::unique_ptr<SpeechManager> manager;
    int recognizersMade = 0;
};

/// A manager whose "microphone" plays @p wav in real time, then a second of silence.
Dictation dictation(const QString &wav, bool recognizerAvailable = true)
{
    Dictation d;
    auto engine = std::make_unique<FileAudioEngine>();
    if (!wav.isEmpty())
        engine->load(wav);
    engine->setSpeed(2.0);
    engine->setTrailingSilence(1500ms);
    d.engine = engine.get();
    auto *made = &d.recognizersMade;
    d.manager = std::make_unique<SpeechManager>(
        std::move(engine),
        [made, recognizerAvailable](const QString &locale) -> std::unique_ptr<SpeechRecognizer> {
            ++*made;
            return recognizerAvailable ? SpeechRecognizer::create(locale) : nullptr;
        },
        new SpeechOutput(new SilentVoice, 10ms));
    return d;
}

} // namespace

class SpeechManagerTest : public QObject
{
    Q_OBJECT

    SpokenAudio m_audio;
    QString m_hello;

private slots:
    void initTestCase()
    {
        m_hello = m_audio.say(QStringLiteral("hello there how are you today"), QStringLiteral("slt"));
        QVERIFY2(!m_hello.isEmpty(), qPrintable(m_audio.lastError()));
    }

    void dictationDeliversTheFinalTranscriptOnce()
    {
        Dictation d = dictation(m_hello);
        QStringList live;
        connect(d.manager.get(), &SpeechManager::liveTranscriptChanged, this, [&] { live << d.manager->liveTranscript(); });
        QStringList finals;
        d.manager->startListening([&](const QString &text) { finals << text; });
        QVERIFY(d.manager->isListening());
        QCOMPARE(d.manager->liveTranscript(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!d.manager->isListening(), 30000);
        QCOMPARE(finals.size(), 1);
        QVERIFY2(finals.first().contains(QStringLiteral("hello")) && finals.first().contains(QStringLiteral("today")),
                 qPrintable(finals.first()));
        // Partial texts came first; the last published text is the final one.
        QVERIFY2(live.size() >= 2, qPrintable(live.join(u'|')));
        QCOMPARE(d.manager->liveTranscript(), finals.first());
        QTest::qWait(300);
        QCOMPARE(finals.size(), 1);
    }

    void stopBeforeTheEndDeliversNothing()
    {
        Dictation d = dictation(m_hello);
        d.engine->setSpeed(1.0);
        int finals = 0;
        d.manager->startListening([&](const QString &) { ++finals; });
        QTRY_VERIFY_WITH_TIMEOUT(!d.manager->liveTranscript().isEmpty(), 20000);
        d.manager->stopListening();
        const QString kept = d.manager->liveTranscript();
        QVERIFY(!d.manager->isListening());
        QVERIFY(!d.engine->isRunning());
        QTest::qWait(2500);
        QCOMPARE(finals, 0);
        QCOMPARE(d.manager->liveTranscript(), kept); // the last partial text stays
    }

    void secondStartIsIgnoredAndIdleStopDoesNothing()
    {
        Dictation d = dictation(m_hello);
        QSignalSpy listening(d.manager.get(), &SpeechManager::isListeningChanged);
        d.manager->stopListening();
        QCOMPARE(listening.count(), 0);

        QStringList first, second;
        d.manager->startListening([&](const QString &t) { first << t; });
        d.manager->startListening([&](const QString &t) { second << t; });
        QTRY_VERIFY_WITH_TIMEOUT(!d.manager->isListening(), 30000);
        QCOMPARE(first.size(), 1);
        QVERIFY(second.isEmpty());
        QCOMPARE(d.recognizersMade, 1); // made once, then kept
        QCOMPARE(listening.count(), 2);
    }

    void noRecognizerMeansNothingHappens()
    {
        Dictation d = dictation(m_hello, false);
        QSignalSpy listening(d.manager.get(), &SpeechManager::isListeningChanged);
        d.manager->startListening([](const QString &) { QFAIL("no transcript without a recognizer"); });
        QVERIFY(!d.manager->isListening());
        QVERIFY(!d.engine->isRunning());
        QCOMPARE(listening.count(), 0);
        d.manager->startListening([](const QString &) {});
        QCOMPARE(d.recognizersMade, 2); // asked again: it may have appeared meanwhile
    }

    void engineThatCannotStartStillListens()
    {
        Dictation d = dictation(QString()); // nothing to play: start() fails
        d.manager->startListening([](const QString &) {});
        QVERIFY(d.manager->isListening());
        d.manager->stopListening();
        QVERIFY(!d.manager->isListening());
    }
};

KESTRIN_TEST_MAIN(SpeechManagerTest)
#include "tst_speechmanager.moc"
