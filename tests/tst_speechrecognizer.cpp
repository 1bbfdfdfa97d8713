// The on-device recognizer on speech made with flite at test time, played by the file audio engine.

#include "SpeechRecognizer.h"
#include "SpokenAudio.h"
#include "TestSupport.h"

#include <QSignalSpy>
#include <QThread>

#include <array>

using namespace std::chrono_literals;
using Mode = RecognitionRequest::Mode;

namespace {

const QString en = QStringLiteral("en-US");

struct Heard
{
    QList<RecognitionResult> results;
    QList<RecognitionError> errors;
    bool offMainThread = false;

    bool ended() const { return !errors.isEmpty() || (!results.isEmpty() && results.last().isFinal); }
    int calls() const { return int(results.size() + errors.size()); }
    QString finalText() const { return ended() && errors.isEmpty() ? results.last().bestTranscription : QString(); }
    QList<RecognitionResult> partials() const
    {
        QList<RecognitionResult> out = results;
        out.removeIf([](const RecognitionResult &r) { return r.isFinal; });
        return out;
    }
    QByteArray describe() const
    {
        QStringList lines;
        for (const RecognitionResult &r : results) lines << (r.isFinal ? "final: " : "partial: ") + r.bestTranscription;
        for (const RecognitionError &e : errors) lines << "error: " + e.description;
        return lines.join(" | ").toUtf8();
    }
    RecognitionTask::Handler handler()
    {
        return [this](const std::optional<RecognitionResult> &result, const std::optional<RecognitionError> &error) {
            offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
            if (result) results << *result;
            if (error) errors << *error;
        };
    }
};

/// One file into one task, on a recognizer of its own unless given one; playing from the start.
struct Hearing
{
    std::unique_ptr<SpeechRecognizer> own;
    Playback playback;
    Heard heard;
    std::unique_ptr<RecognitionTask> task;

    Hearing(const QString &path, Mode mode, double speed = 0, std::chrono::milliseconds trailing = 1500ms,
            SpeechRecognizer *recognizer = nullptr, bool partials = true)
        : own(recognizer ? nullptr : SpeechRecognizer::create(en))
        , playback(path, speed, trailing)
    {
        auto request = playback.feed(mode);
        request->setShouldReportPartialResults(partials);
        task = (recognizer ? recognizer : own.get())->recognitionTask(request, heard.handler());
        playback.engine.start();
    }
    bool waitForEnd(int ms) { return QTest::qWaitFor([this] { return heard.ended(); }, ms); }
};

} // namespace

class SpeechRecognizerTest : public QObject
{
    Q_OBJECT

    SpokenAudio m_audio;
    // Made once: flite and sox cost time.
    QString m_weather;
    QString m_longSentence;

    QString say(const QString &text, const QString &voice, const QStringList &effects = {}, double noise = 0,
                const QString &colour = QStringLiteral("pinknoise"))
    {
        const QString path = m_audio.say(text, voice, effects, noise, colour);
        if (path.isEmpty())
            qWarning() << m_audio.lastError();
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(SpokenAudio::toolsPresent(), "flite and sox are needed (tools/packages.txt)");
        QVERIFY2(SpeechRecognizer::isModelInstalled(), "pocketsphinx-en-us is needed (tools/packages.txt)");
        m_weather = say("the weather is nice today", "slt");
        m_longSentence = say("please remind me to call my sister tomorrow morning about the tickets", "rms");
        QVERIFY(!m_weather.isEmpty() && !m_longSentence.isEmpty());
    }

    void createdOnlyForUsEnglishWithItsModel()
    {
        const auto recognizer = SpeechRecognizer::create(en);
        QVERIFY(recognizer && recognizer->isAvailable());
        QVERIFY(SpeechRecognizer::create("en_US"));
        for (const char *other : {"fr-FR", "en-GB", ""})
            QVERIFY2(!SpeechRecognizer::create(other), other);
        // Copies of the model made of links to its files, one left out (none in the last).
        const QStringList parts{"en-us/mdef", "cmudict-en-us.dict", "en-us.lm.bin"};
        for (const QString &missing : parts + QStringList{QString()}) {
            QTemporaryDir copy;
            QVERIFY(QDir(copy.path()).mkpath("en-us"));
            for (const QString &part : parts)
                if (part != missing)
                    QVERIFY(QFile::link(QDir(SpeechRecognizer::defaultModelFolder()).filePath(part), copy.filePath(part)));
            QVERIFY2(SpeechRecognizer::isModelInstalled(copy.path()) == missing.isEmpty(), qPrintable(missing));
            QVERIFY2(bool(SpeechRecognizer::create(en, copy.path())) == missing.isEmpty(), qPrintable(missing));
        }
    }

    void pauseEndsTheUtterance_data()
    {
        QTest::addColumn<QString>("text"), QTest::addColumn<Mode>("mode"), QTest::addColumn<double>("minimumAccuracy");
        QTest::newRow("dictation") << "the weather is nice today" << Mode::dictation << 0.6;
        QTest::newRow("wake phrase alone") << "hey kestrin" << Mode::wakePhrase << 1.0;
    }
    void pauseEndsTheUtterance()
    {
        QFETCH(QString, text); QFETCH(Mode, mode); QFETCH(double, minimumAccuracy);
        Hearing h(mode == Mode::wakePhrase ? say(text, "rms") : m_weather, mode, 1.0, 2500ms);
        QSignalSpy states(h.task.get(), &RecognitionTask::stateChanged);
        QVERIFY(h.waitForEnd(20000));
        QVERIFY2(h.heard.errors.isEmpty() && !h.heard.partials().isEmpty(), h.heard.describe());
        QVERIFY(!h.heard.offMainThread);
        for (const RecognitionResult &partial : h.heard.partials())
            QVERIFY(!partial.bestTranscription.isEmpty());
        QVERIFY2(SpokenAudio::wordAccuracy(text, h.heard.finalText()) >= minimumAccuracy, h.heard.describe());
        // Real time: the final came while the trailing silence still played.
        QVERIFY(h.playback.engine.isRunning());
        QCOMPARE(h.task->state(), RecognitionTask::State::completed);
        QCOMPARE(states.size(), 1);
        // Nothing after the final, even as the rest of the file arrives.
        const int calls = h.heard.calls();
        QSignalSpy finished(&h.playback.engine, &FileAudioEngine::finished);
        QVERIFY(finished.wait(5000));
        QCoreApplication::processEvents();
        QCOMPARE(h.heard.calls(), calls);
    }

    void dictationOfSentences_data()
    {
        QTest::addColumn<QString>("text"), QTest::addColumn<QString>("voice"), QTest::addColumn<QStringList>("effects");
        QTest::addColumn<double>("noise"), QTest::addColumn<double>("minimumAccuracy"), QTest::addColumn<bool>("partials");
        QTest::newRow("awb faster") << "I would like a cup of coffee" << "awb" << QStringList{"tempo", "1.2"} << 0.0 << 0.7 << true;
        QTest::newRow("rms in pink noise") << "what time is it" << "rms" << QStringList() << 0.015 << 0.5 << true;
        QTest::newRow("slt, only the final") << "the weather is nice today" << "slt" << QStringList() << 0.0 << 0.6 << false;
    }
    void dictationOfSentences()
    {
        QFETCH(QString, text); QFETCH(QString, voice); QFETCH(QStringList, effects);
        QFETCH(double, noise); QFETCH(double, minimumAccuracy); QFETCH(bool, partials);
        const QString path = say(text, voice, effects, noise);
        QVERIFY(!path.isEmpty());
        Hearing h(path, Mode::dictation, 0, 1500ms, nullptr, partials);
        QVERIFY(h.waitForEnd(30000));
        QVERIFY2(h.heard.errors.isEmpty() && SpokenAudio::wordAccuracy(text, h.heard.finalText()) >= minimumAccuracy,
                 h.heard.describe());
        if (!partials)
            QCOMPARE(h.heard.results.size(), 1);
    }

    void endOfAudioFinishesMidSentence()
    {
        Hearing h(m_longSentence, Mode::dictation, 0, 0ms); // no pause at all
        QVERIFY(h.waitForEnd(20000));
        QVERIFY2(h.heard.errors.isEmpty(), h.heard.describe());
        QVERIFY2(SpokenAudio::wordsFound("remind me to call my sister tomorrow", h.heard.finalText()) >= 0.6, h.heard.describe());
    }

    void nothingToHear_data()
    {
        QTest::addColumn<QString>("text"), QTest::addColumn<QString>("voice"); // no text: 3 s of silence or hiss
        QTest::addColumn<QStringList>("effects"), QTest::addColumn<double>("noise");
        const QStringList plain;
        QTest::newRow("digital silence") << "" << "" << plain << 0.0;
        QTest::newRow("quiet hiss") << "" << "" << plain << 0.003;
        QTest::newRow("no phrase: greeting, rms") << "hey there how are you" << "rms" << plain << 0.0;
        // Close to "hey oryn" as some say it, but a better fit for a name of its own.
        QTest::newRow("a name like ours, rms") << "hey erin what time is it" << "rms" << plain << 0.0;
        QTest::newRow("a name like ours, kal16") << "hey erin what time is it" << "kal16" << plain << 0.0;
        // Heard as "hey karen", then, from the same start and a few frames longer, as a worse
        // fitting "hey tarvik".
        QTest::newRow("a name like ours, then ours over it, kal16 in noise")
            << "hey turn the music down a little" << "kal16" << QStringList{"tempo", "1.15"} << 0.02;
    }
    void nothingToHear()
    {
        QFETCH(QString, text); QFETCH(QString, voice); QFETCH(QStringList, effects); QFETCH(double, noise);
        const QString path = text.isEmpty() ? m_audio.quiet(3.0, noise) : say(text, voice, effects, noise);
        // Speech without a wake phrase is nothing only to the wake mode.
        for (const Mode mode : text.isEmpty() ? QList{Mode::dictation, Mode::wakePhrase} : QList{Mode::wakePhrase}) {
            Hearing h(path, mode);
            QVERIFY(h.waitForEnd(20000));
            QVERIFY2(h.heard.results.isEmpty() && h.heard.errors.size() == 1, h.heard.describe());
            QCOMPARE(h.heard.errors.first().code, RecognitionError::Code::noSpeech);
            QVERIFY(!h.heard.errors.first().description.isEmpty());
        }
    }

    void wakePhraseThenCommand_data()
    {
        QTest::addColumn<QString>("phrase"), QTest::addColumn<QString>("command"), QTest::addColumn<QString>("voice");
        QTest::addColumn<QStringList>("effects"), QTest::addColumn<double>("noise"), QTest::addColumn<QString>("colour");
        // What is said just before the phrase, and the pause after the talk before it.
        QTest::addColumn<QString>("lead"), QTest::addColumn<double>("pause");
        const QStringList plain;
        QTest::newRow("oryn, rms") << "hey oryn" << "show me a map of tokyo" << "rms" << plain << 0.0 << "" << "" << 1.0;
        QTest::newRow("tarvik, slt") << "hey tarvik" << "what time is it" << "slt" << plain << 0.0 << "" << "" << 1.0;
        QTest::newRow("oryn, slt in brown noise") << "hey oryn" << "what time is it" << "slt" << plain << 0.07 << "brownnoise" << "" << 1.0;
        // "are-in", and "hey-yoryn" with the glide: the other ways the name is said.
        QTest::newRow("oryn, slt") << "hey oryn" << "what time is it" << "slt" << plain << 0.0 << "" << "" << 1.0;
        QTest::newRow("oryn, awb") << "hey oryn" << "what time is it" << "awb" << plain << 0.0 << "" << "" << 1.0;
        QTest::newRow("kestrin, rms faster") << "hey kestrin" << "show me a map of tokyo" << "rms" << QStringList{"tempo", "1.15"} << 0.0 << "" << "" << 1.0;
        // A call begins what is said, but may follow talk closely, or a word.
        QTest::newRow("tarvik, kal16, half a second after talk") << "hey tarvik" << "what time is it" << "kal16" << plain << 0.0 << "" << "" << 0.5;
        QTest::newRow("kestrin after an okay, awb") << "hey kestrin" << "what time is it" << "awb" << plain << 0.0 << "" << "okay " << 1.0;
    }
    void wakePhraseThenCommand()
    {
        QFETCH(QString, phrase); QFETCH(QString, command); QFETCH(QString, voice);
        QFETCH(QStringList, effects); QFETCH(double, noise); QFETCH(QString, colour);
        QFETCH(QString, lead); QFETCH(double, pause);
        // Some talk without a phrase first, as before someone calls the assistant.
        const QString talk = say("I think it will rain later", voice);
        const QString call = say(lead + phrase + ' ' + command, voice, effects, noise, colour);
        QVERIFY(!talk.isEmpty() && !call.isEmpty());
        Hearing h(m_audio.join({talk, call}, pause), Mode::wakePhrase);
        QVERIFY(h.waitForEnd(30000));
        const QString final = h.heard.finalText();
        QVERIFY2(final.startsWith(phrase + ' ') && SpokenAudio::wordsFound(command, final.mid(phrase.size())) >= 0.6,
                 h.heard.describe());
        // The phrase alone is the first partial; every later partial starts with it.
        const QList<RecognitionResult> partials = h.heard.partials();
        QVERIFY2(partials.size() >= 2 && partials.first().bestTranscription == phrase, h.heard.describe());
        for (const RecognitionResult &partial : partials)
            QVERIFY(partial.bestTranscription.startsWith(phrase));
        QVERIFY(!h.heard.offMainThread);
    }

    void talkIsNotACall()
    {
        // Sentence after sentence, as people talk: the end of kal16's sentence and the start of
        // the next fit "hey kestrin" as well as a call does, after more than a second of talk.
        // Past the first seconds of a sentence the phrase search rests until the next pause,
        // so the call after the talk is heard only if it wakes up again in time.
        const QString meeting = QStringLiteral("the meeting moved to thursday at three");
        const QStringList talk{say(meeting, "awb"), say(meeting, "kal16"), say("can you believe how warm it was yesterday", "slt"),
                               say("we walked down to the lake and talked about the summer holidays", "awb"),
                               say("hey tarvik what time is it", "rms")};
        QVERIFY(!talk.contains(QString()));
        Hearing h(m_audio.join(talk, 0.5), Mode::wakePhrase);
        QVERIFY(h.waitForEnd(30000));
        const QList<RecognitionResult> partials = h.heard.partials();
        QVERIFY2(!partials.isEmpty() && partials.first().bestTranscription == "hey tarvik", h.heard.describe());
        QVERIFY2(h.heard.finalText().startsWith("hey tarvik what time"), h.heard.describe());
    }

    void dictationAndWakeListenerRunTogether()
    {
        // Two recognizers, two engines, both decoding at once.
        Hearing wake(say("hey kestrin open firefox", "awb"), Mode::wakePhrase, 1.0);
        Hearing dictation(m_longSentence, Mode::dictation, 1.0);
        QTRY_VERIFY_WITH_TIMEOUT(wake.heard.ended() && dictation.heard.ended(), 30000);
        QVERIFY2(wake.heard.finalText().startsWith("hey kestrin open"), wake.heard.describe());
        QVERIFY2(SpokenAudio::wordsFound("remind me to call my sister tomorrow", dictation.heard.finalText()) >= 0.6,
                 dictation.heard.describe());
    }

    void cancelling()
    {
        // One recognizer through three tasks: cancelled from outside, cancelled in its handler,
        // destroyed in its handler. Fed at once, results come faster than the main thread takes
        // them: several are queued when a handler first runs, and none may follow.
        const auto recognizer = SpeechRecognizer::create(en);
        struct Run { std::unique_ptr<Playback> playback; std::unique_ptr<RecognitionTask> task;
                     std::unique_ptr<QSignalSpy> states; int calls = 0, seen = 0; };
        std::array<Run, 3> runs;
        for (int how = 0; how < 3; ++how) {
            Run &r = runs[size_t(how)];
            r.playback = std::make_unique<Playback>(how == 2 ? m_weather : m_longSentence, how ? 0 : 1.0);
            r.task = recognizer->recognitionTask(r.playback->feed(Mode::dictation), [&r, how](const auto &, const auto &) {
                ++r.calls;
                if (how == 2)
                    r.task.reset();
                else if (how == 1)
                    r.task->cancel();
            });
            r.states = std::make_unique<QSignalSpy>(r.task.get(), &RecognitionTask::stateChanged);
            QVERIFY(r.playback->engine.start());
            QTRY_VERIFY_WITH_TIMEOUT(r.calls > 0, 20000);
            if (how == 0)
                r.task->cancel();
            r.seen = r.calls;
            QCOMPARE(!r.task, how == 2);
            if (r.task) {
                QCOMPARE(r.task->state(), RecognitionTask::State::cancelled);
                QCOMPARE(r.states->size(), 1);
            }
        }
        // A later task on the same recognizer decodes, its results after anything the others had
        // sent: nothing more reached them.
        Hearing after(m_weather, Mode::dictation, 0, 1500ms, recognizer.get());
        QVERIFY(after.waitForEnd(20000));
        QVERIFY2(SpokenAudio::wordAccuracy("the weather is nice today", after.heard.finalText()) >= 0.6, after.heard.describe());
        for (int how = 0; how < 3; ++how) {
            Run &r = runs[size_t(how)];
            QCOMPARE(r.calls, how ? 1 : r.seen);
            if (r.task) {
                r.task->cancel(); // again: nothing
                QCOMPARE(r.states->size(), 1);
            }
        }
    }

    void destroyingTheRecognizerMidTaskIsSafe()
    {
        Hearing h(m_longSentence, Mode::dictation, 1.0);
        QTRY_VERIFY_WITH_TIMEOUT(!h.heard.results.isEmpty(), 20000);
        h.own.reset(); // the task outlives it and hears no more
        const int calls = h.heard.calls();
        QSignalSpy finished(&h.playback.engine, &FileAudioEngine::finished);
        QVERIFY(finished.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(h.heard.calls(), calls);
        h.task->cancel();
    }
};

KESTRIN_TEST_MAIN(SpeechRecognizerTest)
#include "tst_speechrecognizer.moc"
