#include "FileAudioEngine.h"
#include "SpeechRecognizer.h"
#include "SpokenAudio.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QThread>

using Mode = RecognitionRequest::Mode;

namespace {

/// Everything one task's handler received.
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
        QList<RecognitionResult> out;
        for (const RecognitionResult &r : results)
            if (!r.isFinal)
                out << r;
        return out;
    }
    QString describe() const
    {
        QStringList lines;
        for (const RecognitionResult &r : results)
            lines << (r.isFinal ? QStringLiteral("final: ") : QStringLiteral("partial: ")) + r.bestTranscription;
        for (const RecognitionError &e : errors)
            lines << QStringLiteral("error: ") + e.description;
        return lines.join(QStringLiteral(" | "));
    }

    RecognitionTask::Handler handler()
    {
        return [this](const std::optional<RecognitionResult> &result, const std::optional<RecognitionError> &error) {
            if (QThread::currentThread() != QCoreApplication::instance()->thread())
                offMainThread = true;
            if (result)
                results << *result;
            if (error)
                errors << *error;
        };
    }
};

/// One file played into one request, its audio ended when the file is over: the way a caller
/// feeds a request from an engine's tap.
struct Playback
{
    FileAudioEngine engine;
    std::shared_ptr<RecognitionRequest> request;

    Playback(const QString &path, Mode mode, double speed, int trailingMs = 1500)
        : request(std::make_shared<RecognitionRequest>(mode))
    {
        QString error;
        if (!engine.load(path, &error))
            qWarning() << "cannot load" << path << error;
        engine.setSpeed(speed);
        engine.setTrailingSilence(std::chrono::milliseconds(trailingMs));
        engine.installTap(1024, [request = request](const QAudioBuffer &buffer) { request->append(buffer); });
        QObject::connect(&engine, &FileAudioEngine::finished, &engine, [request = request] { request->endAudio(); });
    }
    bool start() { return engine.start(); }
};

const QString en = QStringLiteral("en-US");

} // namespace

class SpeechRecognizerTest : public QObject
{
    Q_OBJECT

    SpokenAudio m_audio;
    // Made once: flite and sox cost time, and several cases share a recording.
    QString m_weather;
    QString m_silence;
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
        m_weather = say(QStringLiteral("the weather is nice today"), QStringLiteral("slt"));
        m_silence = m_audio.quiet(3.0);
        m_longSentence = say(QStringLiteral("please remind me to call my sister tomorrow morning about the tickets"),
                             QStringLiteral("rms"));
        QVERIFY(!m_weather.isEmpty() && !m_silence.isEmpty() && !m_longSentence.isEmpty());
    }

    // --- creation ---

    void createdOnlyForUsEnglishWithItsModel()
    {
        QVERIFY(SpeechRecognizer::create(en));
        QVERIFY(SpeechRecognizer::create(QStringLiteral("en_US")));
        QVERIFY(!SpeechRecognizer::create(QStringLiteral("fr-FR")));
        QVERIFY(!SpeechRecognizer::create(QStringLiteral("en-GB")));
        QVERIFY(!SpeechRecognizer::create(QString()));
        QVERIFY(!SpeechRecognizer::create(en, m_audio.folder()));
        QVERIFY(!SpeechRecognizer::isModelInstalled(m_audio.folder()));
        QCOMPARE(SpeechRecognizer::wakePhrases(),
                 (QStringList{QStringLiteral("hey oryn"), QStringLiteral("hey tarvik"), QStringLiteral("hey kestrin")}));
        const auto recognizer = SpeechRecognizer::create(en);
        QVERIFY(recognizer->isAvailable());
    }

    void incompleteModelGivesNoRecognizer_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::newRow("acoustic model") << "en-us/mdef";
        QTest::newRow("dictionary") << "cmudict-en-us.dict";
        QTest::newRow("language model") << "en-us.lm.bin";
    }
    void incompleteModelGivesNoRecognizer()
    {
        QFETCH(QString, missing);
        // A copy of the model's layout made of links to the real files, one left out.
        QTemporaryDir copy;
        const QDir model(SpeechRecognizer::defaultModelFolder());
        QVERIFY(QDir(copy.path()).mkpath(QStringLiteral("en-us")));
        for (const QString &part : {QStringLiteral("en-us/mdef"), QStringLiteral("cmudict-en-us.dict"), QStringLiteral("en-us.lm.bin")})
            if (part != missing)
                QVERIFY(QFile::link(model.filePath(part), copy.filePath(part)));
        QVERIFY(!SpeechRecognizer::isModelInstalled(copy.path()));
        QVERIFY(!SpeechRecognizer::create(en, copy.path()));
    }

    // --- dictation ---

    void dictationInRealTimeGivesPartialsThenOneFinal()
    {
        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(m_weather, Mode::dictation, 1.0, 2500);
        Heard heard;
        const auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QSignalSpy states(task.get(), &RecognitionTask::stateChanged);
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(heard.ended(), 20000);

        QVERIFY2(heard.errors.isEmpty(), qPrintable(heard.describe()));
        QVERIFY2(!heard.partials().isEmpty(), qPrintable(heard.describe()));
        QVERIFY(!heard.offMainThread);
        for (const RecognitionResult &partial : heard.partials())
            QVERIFY(!partial.bestTranscription.isEmpty());
        const QString final = heard.finalText();
        QVERIFY2(SpokenAudio::wordAccuracy(QStringLiteral("the weather is nice today"), final) >= 0.6, qPrintable(final));
        // The pause ended the utterance: the final came while the trailing silence still played.
        QVERIFY(playback.engine.isRunning());
        QCOMPARE(task->state(), RecognitionTask::State::completed);
        QCOMPARE(states.size(), 1);

        // Nothing after the final, even as the rest of the file arrives.
        const int calls = heard.calls();
        QSignalSpy finished(&playback.engine, &FileAudioEngine::finished);
        QVERIFY(finished.wait(5000));
        QVERIFY(playback.request->isAudioEnded());
        QCoreApplication::processEvents();
        QCOMPARE(heard.calls(), calls);
    }

    void dictationOfSentences_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("voice");
        QTest::addColumn<QStringList>("effects");
        QTest::addColumn<double>("noise");
        QTest::addColumn<double>("minimumAccuracy");
        QTest::newRow("slt") << "hello there how are you" << "slt" << QStringList() << 0.0 << 0.75;
        QTest::newRow("rms") << "they are running late for the meeting" << "rms" << QStringList() << 0.0 << 0.6;
        QTest::newRow("awb faster") << "I would like a cup of coffee" << "awb" << QStringList{"tempo", "1.2"} << 0.0 << 0.7;
        QTest::newRow("rms in pink noise") << "what time is it" << "rms" << QStringList() << 0.015 << 0.5;
    }
    void dictationOfSentences()
    {
        QFETCH(QString, text);
        QFETCH(QString, voice);
        QFETCH(QStringList, effects);
        QFETCH(double, noise);
        QFETCH(double, minimumAccuracy);
        const QString path = say(text, voice, effects, noise);
        QVERIFY(!path.isEmpty());

        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(path, Mode::dictation, 0); // as fast as it decodes
        Heard heard;
        const auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(heard.ended(), 30000);
        QVERIFY2(heard.errors.isEmpty(), qPrintable(heard.describe()));
        const double accuracy = SpokenAudio::wordAccuracy(text, heard.finalText());
        QVERIFY2(accuracy >= minimumAccuracy,
                 qPrintable(QStringLiteral("heard \"%1\" (%2)").arg(heard.finalText()).arg(accuracy)));
    }

    void silenceGivesNoText_data()
    {
        QTest::addColumn<double>("noise");
        QTest::newRow("digital silence") << 0.0;
        QTest::newRow("quiet hiss") << 0.003;
    }
    void silenceGivesNoText()
    {
        QFETCH(double, noise);
        const QString path = noise > 0 ? m_audio.quiet(3.0, noise) : m_silence;
        for (const Mode mode : {Mode::dictation, Mode::wakePhrase}) {
            const auto recognizer = SpeechRecognizer::create(en);
            Playback playback(path, mode, 0);
            Heard heard;
            const auto task = recognizer->recognitionTask(playback.request, heard.handler());
            QVERIFY(playback.start());
            QTRY_VERIFY_WITH_TIMEOUT(heard.ended(), 20000);
            QVERIFY2(heard.results.isEmpty(), qPrintable(heard.describe()));
            QCOMPARE(heard.errors.size(), 1);
            QCOMPARE(heard.errors.first().code, RecognitionError::Code::noSpeech);
            QVERIFY(!heard.errors.first().description.isEmpty());
        }
    }

    void partialResultsCanBeTurnedOff()
    {
        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(m_weather, Mode::dictation, 0);
        playback.request->setShouldReportPartialResults(false);
        Heard heard;
        const auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(heard.ended(), 20000);
        QCOMPARE(heard.results.size(), 1);
        QVERIFY(heard.results.first().isFinal);
    }

    void endOfAudioFinishesMidSentence()
    {
        // No pause at all: the end of the audio ends the utterance.
        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(m_longSentence, Mode::dictation, 0, 0);
        Heard heard;
        const auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(heard.ended(), 20000);
        QVERIFY2(heard.errors.isEmpty(), qPrintable(heard.describe()));
        QVERIFY2(SpokenAudio::wordsFound(QStringLiteral("remind me to call my sister tomorrow"), heard.finalText()) >= 0.6,
                 qPrintable(heard.finalText()));
    }

    // --- wake phrases ---

    void wakePhraseThenCommand_data()
    {
        QTest::addColumn<QString>("phrase");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("voice");
        QTest::addColumn<QStringList>("effects");
        QTest::addColumn<double>("noise");
        QTest::addColumn<QString>("colour");
        const QString pink = QStringLiteral("pinknoise");
        QTest::newRow("oryn, rms") << "hey oryn" << "show me a map of tokyo" << "rms" << QStringList() << 0.0 << pink;
        QTest::newRow("tarvik, slt") << "hey tarvik" << "what time is it" << "slt" << QStringList() << 0.0 << pink;
        QTest::newRow("kestrin, awb") << "hey kestrin" << "add a task to buy milk" << "awb" << QStringList() << 0.0 << pink;
        QTest::newRow("tarvik, awb in pink noise") << "hey tarvik" << "what time is it" << "awb" << QStringList() << 0.015 << pink;
        QTest::newRow("oryn, slt in brown noise") << "hey oryn" << "what time is it" << "slt" << QStringList() << 0.07
                                                  << QStringLiteral("brownnoise");
        QTest::newRow("kestrin, rms in hiss") << "hey kestrin" << "open the door" << "rms" << QStringList() << 0.005
                                              << QStringLiteral("whitenoise");
        QTest::newRow("kestrin, rms faster") << "hey kestrin" << "show me a map of tokyo" << "rms"
                                             << QStringList{"tempo", "1.15"} << 0.0 << pink;
        QTest::newRow("oryn, awb slower") << "hey oryn" << "what time is it" << "awb" << QStringList{"tempo", "0.9"} << 0.0 << pink;
    }
    void wakePhraseThenCommand()
    {
        QFETCH(QString, phrase);
        QFETCH(QString, command);
        QFETCH(QString, voice);
        QFETCH(QStringList, effects);
        QFETCH(double, noise);
        QFETCH(QString, colour);
        // Some talk without a phrase comes first, as it would before someone calls the assistant.
        const QString talk = say(QStringLiteral("I think it will rain later"), voice);
        const QString call = say(phrase + QLatin1Char(' ') + command, voice, effects, noise, colour);
        QVERIFY(!talk.isEmpty() && !call.isEmpty());
        const QString path = m_audio.join({talk, call}, 1.0);

        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(path, Mode::wakePhrase, 0);
        Heard heard;
        const auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(heard.ended(), 30000);

        QVERIFY2(heard.errors.isEmpty(), qPrintable(heard.describe()));
        const QString final = heard.finalText();
        QVERIFY2(final.startsWith(phrase + QLatin1Char(' ')), qPrintable(heard.describe()));
        const QString rest = final.mid(phrase.size());
        QVERIFY2(SpokenAudio::wordsFound(command, rest) >= 0.6, qPrintable(heard.describe()));
        // The phrase alone is the first partial; every later partial starts with it.
        const QList<RecognitionResult> partials = heard.partials();
        QVERIFY2(partials.size() >= 2, qPrintable(heard.describe()));
        QCOMPARE(partials.first().bestTranscription, phrase);
        for (const RecognitionResult &partial : partials)
            QVERIFY(partial.bestTranscription.startsWith(phrase));
        QVERIFY(!heard.offMainThread);
    }

    void wakePhraseAloneEndsWithThePhrase()
    {
        const QString path = say(QStringLiteral("hey kestrin"), QStringLiteral("rms"));
        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(path, Mode::wakePhrase, 1.0, 2500);
        Heard heard;
        const auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(heard.ended(), 20000);
        QCOMPARE(heard.finalText(), QStringLiteral("hey kestrin"));
        QVERIFY(playback.engine.isRunning()); // decided by the pause, not by the end of the audio
    }

    void speechWithoutPhraseGivesNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("voice");
        QTest::newRow("command, slt") << "what time is it" << "slt";
        QTest::newRow("greeting, rms") << "hey there how are you" << "rms";
        QTest::newRow("sentence, awb") << "the restaurant is open until nine" << "awb";
    }
    void speechWithoutPhraseGivesNothing()
    {
        QFETCH(QString, text);
        QFETCH(QString, voice);
        const QString path = say(text, voice);
        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(path, Mode::wakePhrase, 0);
        Heard heard;
        const auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(heard.ended(), 20000);
        QVERIFY2(heard.results.isEmpty(), qPrintable(heard.describe()));
        QCOMPARE(heard.errors.size(), 1);
        QCOMPARE(heard.errors.first().code, RecognitionError::Code::noSpeech);
    }

    void oneRecognizerServesTaskAfterTask()
    {
        // The wake-word listener's pattern: one engine runs on, its tap feeds whichever
        // request is current, and a final result makes a new request and task.
        const QString first = say(QStringLiteral("hey oryn what time is it"), QStringLiteral("awb"));
        const QString second = say(QStringLiteral("hey tarvik show me a map of tokyo"), QStringLiteral("rms"));
        const QString path = m_audio.join({first, second}, 2.0);

        const auto recognizer = SpeechRecognizer::create(en);
        FileAudioEngine engine;
        QVERIFY(engine.load(path));
        engine.setSpeed(2.0);
        std::mutex currentMutex;
        std::shared_ptr<RecognitionRequest> current;
        engine.installTap(2048, [&](const QAudioBuffer &buffer) {
            const std::lock_guard lock(currentMutex);
            if (current)
                current->append(buffer);
        });
        QStringList finals;
        std::unique_ptr<RecognitionTask> task;
        std::function<void()> next = [&] {
            auto request = std::make_shared<RecognitionRequest>(Mode::wakePhrase);
            {
                const std::lock_guard lock(currentMutex);
                current = request;
            }
            task = recognizer->recognitionTask(request, [&](const std::optional<RecognitionResult> &result,
                                                            const std::optional<RecognitionError> &) {
                if (result && result->isFinal) {
                    finals << result->bestTranscription;
                    next(); // replaces (and so destroys) the task whose handler this is
                }
            });
        };
        next();
        QVERIFY(engine.start());
        QTRY_COMPARE_WITH_TIMEOUT(finals.size(), 2, 30000);
        QVERIFY2(finals[0].startsWith(QLatin1String("hey oryn "))
                     && SpokenAudio::wordsFound(QStringLiteral("what time is it"), finals[0]) >= 0.75,
                 qPrintable(finals.join(QStringLiteral(" | "))));
        QVERIFY2(finals[1].startsWith(QLatin1String("hey tarvik "))
                     && SpokenAudio::wordsFound(QStringLiteral("show me a map of tokyo"), finals[1]) >= 0.6,
                 qPrintable(finals.join(QStringLiteral(" | "))));
        engine.stop();
    }

    void dictationAndWakeListenerRunTogether()
    {
        // Two recognizers, two engines, both decoding at once.
        const QString call = say(QStringLiteral("hey kestrin open firefox"), QStringLiteral("awb"));
        const auto wake = SpeechRecognizer::create(en);
        const auto dictation = SpeechRecognizer::create(en);
        Playback wakePlayback(call, Mode::wakePhrase, 1.0);
        Playback dictationPlayback(m_longSentence, Mode::dictation, 1.0);
        Heard wakeHeard;
        Heard dictationHeard;
        const auto wakeTask = wake->recognitionTask(wakePlayback.request, wakeHeard.handler());
        const auto dictationTask = dictation->recognitionTask(dictationPlayback.request, dictationHeard.handler());
        QVERIFY(wakePlayback.start());
        QVERIFY(dictationPlayback.start());
        QTRY_VERIFY_WITH_TIMEOUT(wakeHeard.ended() && dictationHeard.ended(), 30000);
        QVERIFY2(wakeHeard.finalText().startsWith(QLatin1String("hey kestrin open")), qPrintable(wakeHeard.describe()));
        QVERIFY2(SpokenAudio::wordsFound(QStringLiteral("remind me to call my sister tomorrow"), dictationHeard.finalText()) >= 0.6,
                 qPrintable(dictationHeard.describe()));
    }

    // --- cancelling ---

    void cancelStopsDelivery()
    {
        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(m_longSentence, Mode::dictation, 1.0);
        Heard heard;
        auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QSignalSpy states(task.get(), &RecognitionTask::stateChanged);
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(!heard.results.isEmpty(), 20000);
        task->cancel();
        QCOMPARE(task->state(), RecognitionTask::State::cancelled);
        QCOMPARE(states.size(), 1);
        const int calls = heard.calls();

        // A later task on the same recognizer runs only once the cancelled one has stopped,
        // and its results come after anything the first had sent: when it ends, the first
        // has had every chance to call its handler.
        Playback after(m_weather, Mode::dictation, 0);
        Heard afterHeard;
        const auto afterTask = recognizer->recognitionTask(after.request, afterHeard.handler());
        QVERIFY(after.start());
        QTRY_VERIFY_WITH_TIMEOUT(afterHeard.ended(), 20000);
        QVERIFY2(SpokenAudio::wordAccuracy(QStringLiteral("the weather is nice today"), afterHeard.finalText()) >= 0.6,
                 qPrintable(afterHeard.describe()));
        QCOMPARE(heard.calls(), calls);
        QCOMPARE(heard.errors.size(), 0);
        task->cancel(); // again: nothing
        QCOMPARE(states.size(), 1);
    }

    void cancelOrDestroyFromTheHandlerDropsResultsOnTheirWay_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("cancel") << false;
        QTest::newRow("destroy") << true;
    }
    void cancelOrDestroyFromTheHandlerDropsResultsOnTheirWay()
    {
        QFETCH(bool, destroy);
        // Fed all at once, the recognizer sends partials faster than the main thread takes
        // them: several are queued when the first one cancels (or destroys) the task.
        const auto recognizer = SpeechRecognizer::create(en);
        Playback playback(destroy ? m_weather : m_longSentence, Mode::dictation, 0);
        int calls = 0;
        std::unique_ptr<RecognitionTask> task;
        task = recognizer->recognitionTask(playback.request, [&](const std::optional<RecognitionResult> &,
                                                                 const std::optional<RecognitionError> &) {
            ++calls;
            if (destroy)
                task.reset();
            else
                task->cancel();
        });
        QPointer<RecognitionTask> watch = task.get();
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(calls > 0, 20000);
        if (destroy)
            QTRY_VERIFY_WITH_TIMEOUT(!watch, 20000);

        // The recognizer goes on serving the next task, and nothing more reached the old one.
        Playback after(m_weather, Mode::dictation, 0);
        Heard afterHeard;
        const auto afterTask = recognizer->recognitionTask(after.request, afterHeard.handler());
        QVERIFY(after.start());
        QTRY_VERIFY_WITH_TIMEOUT(afterHeard.ended(), 20000);
        QCOMPARE(calls, 1);
    }

    void destroyingTheRecognizerMidTaskIsSafe()
    {
        auto recognizer = SpeechRecognizer::create(en);
        Playback playback(m_longSentence, Mode::dictation, 1.0);
        Heard heard;
        const auto task = recognizer->recognitionTask(playback.request, heard.handler());
        QVERIFY(playback.start());
        QTRY_VERIFY_WITH_TIMEOUT(!heard.results.isEmpty(), 20000);
        recognizer.reset(); // the task outlives it and hears no more
        const int calls = heard.calls();
        QSignalSpy finished(&playback.engine, &FileAudioEngine::finished);
        QVERIFY(finished.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(heard.calls(), calls);
        task->cancel();
    }
};

KESTRIN_TEST_MAIN(SpeechRecognizerTest)
#include "tst_speechrecognizer.moc"
