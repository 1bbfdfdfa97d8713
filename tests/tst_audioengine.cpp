#include "FileAudioEngine.h"
#include "MicrophoneAudioEngine.h"
#include "SoundServer.h"
#include "SpeechRecognizer.h"
#include "SpokenAudio.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtEndian>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

/// Everything a tap received, collected from the capture thread.
struct Collected
{
    std::mutex mutex;
    QByteArray bytes;
    QList<qsizetype> frameCounts;
    std::atomic<int> calls = 0;
    std::atomic<bool> onMainThread = false;
    std::atomic<bool> badFormat = false;

    AudioEngine::Tap tap()
    {
        return [this](const QAudioBuffer &buffer) {
            if (QThread::currentThread() == QCoreApplication::instance()->thread())
                onMainThread = true;
            if (buffer.format() != AudioEngine::inputFormat())
                badFormat = true;
            const std::lock_guard lock(mutex);
            bytes.append(buffer.constData<char>(), buffer.byteCount());
            frameCounts << buffer.frameCount();
            ++calls;
        };
    }
    QByteArray snapshot()
    {
        const std::lock_guard lock(mutex);
        return bytes;
    }
};

/// A ramp that never repeats within a few seconds, so a stretch of it can be found exactly.
QByteArray pattern(int frames)
{
    QByteArray out(frames * 2, Qt::Uninitialized);
    auto *s = reinterpret_cast<qint16 *>(out.data());
    for (int i = 0; i < frames; ++i)
        s[i] = qint16((i * 7919) % 30011 - 15005);
    return out;
}

QByteArray wavFile(const QByteArray &samples, int rate, int channels, int bits, const QByteArray &extraChunk = {})
{
    QByteArray out("RIFF\0\0\0\0WAVE", 12);
    const auto le32 = [](quint32 v) { QByteArray b(4, '\0'); qToLittleEndian(v, b.data()); return b; };
    const auto le16 = [](quint16 v) { QByteArray b(2, '\0'); qToLittleEndian(v, b.data()); return b; };
    out += "fmt " + le32(16) + le16(1) + le16(quint16(channels)) + le32(quint32(rate))
        + le32(quint32(rate * channels * bits / 8)) + le16(quint16(channels * bits / 8)) + le16(quint16(bits));
    out += extraChunk;
    out += "data" + le32(quint32(samples.size())) + samples;
    qToLittleEndian(quint32(out.size() - 8), out.data() + 4);
    return out;
}

} // namespace

class AudioEngineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    SoundServer m_server;
    bool m_serverUp = false;

private slots:
    void initTestCase()
    {
        // Before anything touches Qt Multimedia: it connects to the sound server once.
        if (SoundServer::isInstalled())
            m_serverUp = m_server.start();
        if (!m_serverUp)
            qWarning() << "no private sound server:" << m_server.error();
    }

    // --- reading sound files ---

    void readsWavAndRawSamples()
    {
        const QByteArray samples = pattern(1000);
        const QString wav = m_dir.filePath(QStringLiteral("plain.wav"));
        TestSupport::writeAll(wav, wavFile(samples, 16000, 1, 16));
        QCOMPARE(FileAudioEngine::readPcm(wav).value_or(QByteArray()), samples);

        // A chunk of odd length before the samples is skipped with its pad byte.
        const QString listed = m_dir.filePath(QStringLiteral("listed.wav"));
        TestSupport::writeAll(listed, wavFile(samples, 16000, 1, 16, QByteArray("LIST\x03\0\0\0abc\0", 12)));
        QCOMPARE(FileAudioEngine::readPcm(listed).value_or(QByteArray()), samples);

        const QString raw = m_dir.filePath(QStringLiteral("samples.raw"));
        TestSupport::writeAll(raw, samples + "x"); // a stray odd byte is dropped
        QCOMPARE(FileAudioEngine::readPcm(raw).value_or(QByteArray()), samples);
    }

    void refusesOtherFormats_data()
    {
        QTest::addColumn<QByteArray>("file");
        const QByteArray samples = pattern(100);
        QTest::newRow("8 kHz") << wavFile(samples, 8000, 1, 16);
        QTest::newRow("stereo") << wavFile(samples, 16000, 2, 16);
        QTest::newRow("8-bit") << wavFile(samples, 16000, 1, 8);
        QTest::newRow("no data chunk") << wavFile(samples, 16000, 1, 16).left(36);
        QTest::newRow("not WAVE") << QByteArray("RIFF\x04\0\0\0AVI ", 12);
    }
    void refusesOtherFormats()
    {
        QFETCH(QByteArray, file);
        const QString path = m_dir.filePath(QStringLiteral("bad.wav"));
        TestSupport::writeAll(path, file);
        QString error;
        QVERIFY(!FileAudioEngine::readPcm(path, &error));
        QVERIFY(!error.isEmpty());
        FileAudioEngine engine;
        engine.setPcm(pattern(10));
        QVERIFY(!engine.load(path));
        QCOMPARE(engine.pcm(), pattern(10)); // the earlier sound stays
        QVERIFY(!FileAudioEngine::readPcm(m_dir.filePath(QStringLiteral("missing.wav"))));
    }

    // --- playing a file ---

    void deliversEverySampleInBuffersOfTheTapSize()
    {
        const QByteArray samples = pattern(10'000);
        FileAudioEngine engine;
        engine.setPcm(samples);
        engine.setSpeed(0);
        engine.setTrailingSilence(std::chrono::milliseconds(100)); // 1600 frames
        Collected got;
        engine.installTap(1024, got.tap());
        QSignalSpy running(&engine, &AudioEngine::runningChanged);
        QSignalSpy finished(&engine, &FileAudioEngine::finished);
        QVERIFY(engine.start());
        QVERIFY(engine.isRunning());
        QVERIFY(engine.start()); // already running: no change
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.size(), 1);
        QVERIFY(!engine.isRunning());
        QCOMPARE(running.size(), 2);
        QCOMPARE(running.at(0).at(0).toBool(), true);
        QCOMPARE(running.at(1).at(0).toBool(), false);

        QVERIFY(!got.onMainThread);
        QVERIFY(!got.badFormat);
        // 11,600 frames in buffers of 1024: twelve, the last completed with silence.
        QCOMPARE(got.frameCounts, QList<qsizetype>(12, 1024));
        const QByteArray bytes = got.snapshot();
        QCOMPARE(bytes.left(samples.size()), samples);
        QCOMPARE(bytes.mid(samples.size()), QByteArray(12 * 1024 * 2 - samples.size(), '\0'));

        // It plays again from the start.
        got.bytes.clear();
        QVERIFY(engine.start());
        QVERIFY(finished.wait(5000));
        QCOMPARE(got.snapshot().left(samples.size()), samples);
    }

    void pacesPlaybackLikeAMicrophone_data()
    {
        QTest::addColumn<double>("speed");
        QTest::newRow("real time") << 1.0;
        QTest::newRow("four times") << 4.0;
    }
    void pacesPlaybackLikeAMicrophone()
    {
        QFETCH(double, speed);
        FileAudioEngine engine;
        engine.setPcm(pattern(8000)); // half a second
        engine.setSpeed(speed);
        QCOMPARE(engine.speed(), speed);
        Collected got;
        engine.installTap(800, got.tap());
        QSignalSpy finished(&engine, &FileAudioEngine::finished);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(engine.start());
        // The first buffer is not there before its 50 ms have been "recorded".
        QTRY_VERIFY_WITH_TIMEOUT(got.calls > 0, 5000);
        QVERIFY(clock.elapsed() >= qint64(45 / speed));
        QVERIFY(finished.wait(5000));
        const double expected = 500 / speed;
        QVERIFY2(clock.elapsed() >= expected * 0.9, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(clock.elapsed() < expected + 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(got.calls.load(), 10);
    }

    void stopAndRemoveTapCutDeliveryAtOnce()
    {
        FileAudioEngine engine;
        engine.setPcm(pattern(16000 * 5));
        engine.setSpeed(1.0);
        Collected got;
        engine.installTap(320, got.tap());
        QSignalSpy finished(&engine, &FileAudioEngine::finished);
        QVERIFY(engine.start());
        QTRY_VERIFY_WITH_TIMEOUT(got.calls >= 3, 5000);
        engine.stop();
        QVERIFY(!engine.isRunning());
        const int atStop = got.calls;

        // Another engine playing 300 ms serves as the clock: the first has had time to
        // deliver about 15 more buffers, had it gone on.
        FileAudioEngine clock;
        clock.setPcm(pattern(4800));
        QSignalSpy clockDone(&clock, &FileAudioEngine::finished);
        QVERIFY(clock.start());
        QVERIFY(clockDone.wait(5000));
        QCOMPARE(got.calls.load(), atStop);
        QCOMPARE(finished.size(), 0); // an interrupted run does not finish

        // removeTap while playing: nothing more reaches the old tap, and the run still ends.
        engine.setPcm(pattern(8000));
        engine.setSpeed(4.0);
        Collected second;
        engine.installTap(320, second.tap());
        QVERIFY(engine.start());
        QTRY_VERIFY_WITH_TIMEOUT(second.calls >= 1, 5000);
        engine.removeTap();
        const int atRemoval = second.calls;
        QVERIFY(finished.wait(5000));
        QCOMPARE(second.calls.load(), atRemoval);
    }

    void startsOnlyWithSomethingToPlay()
    {
        FileAudioEngine engine;
        QVERIFY(!engine.start());
        QVERIFY(!engine.isRunning());
        engine.setTrailingSilence(std::chrono::milliseconds(200)); // silence alone is something
        QSignalSpy finished(&engine, &FileAudioEngine::finished);
        QVERIFY(engine.start());
        QVERIFY(finished.wait(5000));
    }

    // --- the microphone, through a private sound server ---

    void microphoneDeliversWhatTheDeviceHears()
    {
        if (!m_serverUp)
            QSKIP("no private sound server");
        const QByteArray marker = pattern(8000);
        MicrophoneAudioEngine first;
        MicrophoneAudioEngine second; // the listener and dictation capture at once
        Collected gotFirst;
        Collected gotSecond;
        first.installTap(2048, gotFirst.tap());
        second.installTap(1024, gotSecond.tap());
        QSignalSpy running(&first, &AudioEngine::runningChanged);
        first.prepare();
        QVERIFY(first.start());
        QVERIFY(second.start());
        QVERIFY(first.isRunning());
        QCOMPARE(running.size(), 1);

        // Silence until both streams are flowing, then the marker, then silence again.
        std::atomic<bool> stopWriting = false;
        std::atomic<bool> markerWritten = false;
        std::atomic<bool> flowing = false;
        std::thread writer([&] { feedFifo(marker, stopWriting, markerWritten, flowing); });
        QTRY_VERIFY_WITH_TIMEOUT(gotFirst.calls > 2 && gotSecond.calls > 2, 10000);
        flowing = true;
        QTRY_VERIFY_WITH_TIMEOUT(markerWritten && gotFirst.snapshot().contains(marker) && gotSecond.snapshot().contains(marker), 10000);

        // Stopping one engine cuts its tap off at once; the other goes on hearing.
        first.stop();
        QVERIFY(!first.isRunning());
        QCOMPARE(running.size(), 2);
        const int firstAtStop = gotFirst.calls;
        const int secondAtStop = gotSecond.calls;
        QTRY_VERIFY_WITH_TIMEOUT(gotSecond.calls >= secondAtStop + 8, 10000); // half a second more
        QCOMPARE(gotFirst.calls.load(), firstAtStop);
        QVERIFY(first.start()); // and starts again
        QTRY_VERIFY_WITH_TIMEOUT(gotFirst.calls > firstAtStop + 2, 10000);
        first.stop();
        stopWriting = true;
        writer.join();

        QVERIFY(!gotFirst.onMainThread);
        QVERIFY(!gotFirst.badFormat);
        for (const qsizetype frames : gotFirst.frameCounts)
            QCOMPARE(frames, 2048);
        for (const qsizetype frames : gotSecond.frameCounts)
            QCOMPARE(frames, 1024);

        second.stop();
        second.removeTap();
    }

    void microphoneFeedsTheRecognizer()
    {
        if (!m_serverUp)
            QSKIP("no private sound server");
        SpokenAudio audio;
        QVERIFY2(SpokenAudio::toolsPresent(), "flite and sox are needed");
        const QString path = audio.say(QStringLiteral("hey tarvik what time is it"), QStringLiteral("slt"));
        const QByteArray speech = FileAudioEngine::readPcm(path).value_or(QByteArray());
        QVERIFY(!speech.isEmpty());

        const auto recognizer = SpeechRecognizer::create(QStringLiteral("en-US"));
        MicrophoneAudioEngine microphone;
        auto request = std::make_shared<RecognitionRequest>(RecognitionRequest::Mode::wakePhrase);
        microphone.installTap(2048, [request](const QAudioBuffer &buffer) { request->append(buffer); });
        QString final;
        const auto task = recognizer->recognitionTask(request, [&](const std::optional<RecognitionResult> &result,
                                                                   const std::optional<RecognitionError> &error) {
            if (result && result->isFinal)
                final = result->bestTranscription;
            if (error)
                final = QStringLiteral("error: ") + error->description;
        });
        QVERIFY(microphone.start());
        std::atomic<bool> stopWriting = false;
        std::atomic<bool> written = false;
        std::atomic<bool> flowing = true;
        std::thread writer([&] { feedFifo(speech, stopWriting, written, flowing); });
        QTRY_VERIFY_WITH_TIMEOUT(!final.isEmpty(), 20000);
        stopWriting = true;
        writer.join();
        microphone.stop();
        QVERIFY2(final.startsWith(QLatin1String("hey tarvik")), qPrintable(final));
        QVERIFY2(SpokenAudio::wordsFound(QStringLiteral("what time is it"), final) >= 0.75, qPrintable(final));
    }

private:
    /// The sound server's microphone hears, in real time: silence until @p flowing, then
    /// @p sound, then silence until @p stop.
    void feedFifo(const QByteArray &sound, std::atomic<bool> &stop, std::atomic<bool> &soundWritten,
                  std::atomic<bool> &flowing)
    {
        const int fd = ::open(QFile::encodeName(m_server.fifoPath()).constData(), O_WRONLY);
        if (fd < 0)
            return;
        const QByteArray silence(640, '\0'); // 20 ms
        qsizetype at = 0;
        auto due = std::chrono::steady_clock::now();
        while (!stop) {
            QByteArray piece = silence;
            if (flowing && at < sound.size()) {
                piece = sound.mid(at, 640);
                at += piece.size();
                if (at >= sound.size())
                    soundWritten = true;
            }
            if (::write(fd, piece.constData(), size_t(piece.size())) < 0)
                break;
            due += std::chrono::milliseconds(20); // a microphone's pace
            std::this_thread::sleep_until(due);
        }
        ::close(fd);
    }
};

KESTRIN_TEST_MAIN(AudioEngineTest)
#include "tst_audioengine.moc"
