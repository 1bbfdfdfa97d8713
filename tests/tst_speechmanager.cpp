// Dictation through the speech manager: speech made with flite at test time, played by the file
// audio engine into the real on-device recognizer.

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

class SilentVoice : public SpeechSynthesizer
{
public:
    void say(const QString &) override { }
    void stop() override { }
};

/// A manager whose "microphone" plays a file at twice real time, then 1.5 s of silence.
struct Dictation
{
    FileAudioEngine *engine = new FileAudioEngine;
    int recognizersMade = 0;
    std::unique_ptr<SpeechManager> manager;

    explicit Dictation(const QString &wav, bool recognizerAvailable = true)
    {
        if (!wav.isEmpty())
            engine->load(wav);
        engine->setSpeed(2.0);
        engine->setTrailingSilence(1500ms);
        manager = std::make_unique<SpeechManager>(
            std::unique_ptr<AudioEngine>(engine),
            [this, recognizerAvailable](const QString &locale) -> std::unique_ptr<SpeechRecognizer> {
                ++recognizersMade;
                return recognizerAvailable ? SpeechRecognizer::create(locale) : nullptr;
            },
            new SpeechOutput(new SilentVoice, 10ms, nullptr, SpeechOutput::NeuralVoice::off));
    }
};

} // namespace

class SpeechManagerTest : public QObject
{
    Q_OBJECT

    SpokenAudio m_audio;
    QString m_hello;

private slots:
    void initTestCase()
    {
        m_hello = m_audio.say("hello there how are you today", "slt");
        QVERIFY2(!m_hello.isEmpty(), qPrintable(m_audio.lastError()));
    }

    void dictationDeliversTheFinalTranscriptOnce()
    {
        Dictation d(m_hello);
        QSignalSpy listening(d.manager.get(), &SpeechManager::isListeningChanged);
        d.manager->stopListening(); // idle: nothing happens
        QCOMPARE(listening.size(), 0);
        QStringList live;
        connect(d.manager.get(), &SpeechManager::liveTranscriptChanged, this, [&] { live << d.manager->liveTranscript(); });
        QStringList finals;
        QStringList ignored;
        d.manager->startListening([&](const QString &text) { finals << text; });
        d.manager->startListening([&](const QString &text) { ignored << text; }); // one runs already
        QVERIFY(d.manager->isListening());
        QCOMPARE(d.manager->liveTranscript(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!d.manager->isListening(), 30000);
        QCOMPARE(finals.size(), 1);
        QVERIFY2(finals.first().contains("hello") && finals.first().contains("today"), qPrintable(finals.first()));
        // Partial texts came first; the last published text is the final one.
        QVERIFY2(live.size() >= 2, qPrintable(live.join(u'|')));
        QCOMPARE(d.manager->liveTranscript(), finals.first());
        QTest::qWait(300);
        QCOMPARE(finals.size(), 1);
        QVERIFY(ignored.isEmpty());
        QCOMPARE(listening.size(), 2);

        // A second dictation keeps the recognizer and empties the transcript at its start.
        d.manager->startListening([&](const QString &text) { finals << text; });
        QCOMPARE(d.manager->liveTranscript(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(finals.size(), 2, 30000);
        QCOMPARE(d.recognizersMade, 1);
    }

    void stopBeforeTheEndDeliversNothing()
    {
        Dictation d(m_hello);
        d.engine->setSpeed(1.0);
        int finals = 0;
        d.manager->startListening([&](const QString &) { ++finals; });
        QTRY_VERIFY_WITH_TIMEOUT(!d.manager->liveTranscript().isEmpty(), 20000);
        d.manager->stopListening();
        const QString kept = d.manager->liveTranscript();
        QVERIFY(!d.manager->isListening() && !d.engine->isRunning());
        QTest::qWait(2500);
        QCOMPARE(finals, 0);
        QCOMPARE(d.manager->liveTranscript(), kept); // the last partial text stays
    }

    void missingParts()
    {
        Dictation none(m_hello, false);
        QSignalSpy listening(none.manager.get(), &SpeechManager::isListeningChanged);
        none.manager->startListening([](const QString &) { QFAIL("no transcript without a recognizer"); });
        QVERIFY(!none.manager->isListening() && !none.engine->isRunning());
        QCOMPARE(listening.size(), 0);
        none.manager->startListening([](const QString &) {});
        QCOMPARE(none.recognizersMade, 2); // asked again: it may have appeared meanwhile

        Dictation silent{QString()}; // nothing to play: the engine cannot start, yet it listens
        silent.manager->startListening([](const QString &) {});
        QVERIFY(silent.manager->isListening());
        silent.manager->stopListening();
        QVERIFY(!silent.manager->isListening());
    }
};

KESTRIN_TEST_MAIN(SpeechManagerTest)
#include "tst_speechmanager.moc"
