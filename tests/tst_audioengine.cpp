// Audio engines: files played like a microphone, and the microphone through a private sound server.

#include "FileAudioEngine.h"
#include "MicrophoneAudioEngine.h"
#include "SoundServer.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QThread>
#include <QtEndian>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

/// Everything a tap received, collected from the capture thread.
struct Collected
{
    std::mutex mutex;
    QByteArray bytes;
    QList<qsizetype> frameCounts;
    std::atomic<int> calls = 0;
    std::atomic<bool> wrong = false; // on the main thread, or in another format

    AudioEngine::Tap tap()
    {
        return [this](const QAudioBuffer &buffer) {
            wrong = wrong || QThread::currentThread() == QCoreApplication::instance()->thread()
                || buffer.format() != AudioEngine::inputFormat();
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
    const auto le = [](quint32 v, int size) {
        QByteArray b(4, '\0');
        qToLittleEndian(v, b.data());
        return b.left(size);
    };
    const QByteArray out = "WAVEfmt " + le(16, 4) + le(1, 2) + le(channels, 2) + le(rate, 4) + le(rate * channels * bits / 8, 4)
        + le(channels * bits / 8, 2) + le(bits, 2) + extraChunk + "data" + le(samples.size(), 4) + samples;
    return "RIFF" + le(out.size(), 4) + out;
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

    void readPcm_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("accepted"); // as pattern(100)
        const QByteArray samples = pattern(100);
        QTest::newRow("16 kHz mono 16-bit") << wavFile(samples, 16000, 1, 16) << true;
        QTest::newRow("odd chunk skipped with its pad byte") << wavFile(samples, 16000, 1, 16, QByteArray("LIST\x03\0\0\0abc\0", 12)) << true;
        QTest::newRow("raw samples, a stray odd byte dropped") << samples + "x" << true;
        QTest::newRow("8 kHz") << wavFile(samples, 8000, 1, 16) << false;
        QTest::newRow("stereo") << wavFile(samples, 16000, 2, 16) << false;
        QTest::newRow("no data chunk") << wavFile(samples, 16000, 1, 16).left(36) << false;
        QTest::newRow("not WAVE") << QByteArray("RIFF\x04\0\0\0AVI ", 12) << false;
    }
    void readPcm()
    {
        QFETCH(QByteArray, file); QFETCH(bool, accepted);
        const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        if (!file.isNull())
            TestSupport::writeAll(path, file);
        QString error;
        QCOMPARE(FileAudioEngine::readPcm(path, &error).value_or("refused"), accepted ? pattern(100) : "refused");
        QCOMPARE(error.isEmpty(), accepted);
        FileAudioEngine engine;
        engine.setPcm(pattern(10));
        QCOMPARE(engine.load(path), accepted);
        QCOMPARE(engine.pcm(), pattern(accepted ? 100 : 10)); // a refused file leaves the earlier sound
    }

    void deliversEverySampleInBuffersOfTheTapSize_data()
    {
        QTest::addColumn<double>("speed"); // 0: as fast as it can
        QTest::newRow("unpaced") << 0.0;
        QTest::newRow("real time") << 1.0;
        QTest::newRow("four times") << 4.0;
    }
    void deliversEverySampleInBuffersOfTheTapSize()
    {
        QFETCH(double, speed);
        const QByteArray samples = pattern(10'000);
        FileAudioEngine engine;
        QVERIFY(!engine.start()); // nothing to play
        engine.setPcm(samples);
        engine.setSpeed(speed);
        engine.setTrailingSilence(100ms); // 1600 frames
        Collected got;
        engine.installTap(1024, got.tap());
        QSignalSpy running(&engine, &AudioEngine::runningChanged);
        QSignalSpy finished(&engine, &FileAudioEngine::finished);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(engine.start());
        QVERIFY(engine.isRunning());
        QVERIFY(engine.start()); // already running: no change
        if (speed > 0) { // like a microphone: no buffer before its 64 ms have been "recorded"
            QTRY_VERIFY_WITH_TIMEOUT(got.calls > 0, 5000);
            QVERIFY(clock.elapsed() >= qint64(60 / speed));
        }
        QVERIFY(finished.wait(5000));
        if (speed > 0) { // 11,600 frames: 725 ms
            const double expected = 725 / speed;
            QVERIFY2(clock.elapsed() >= expected * 0.9 && clock.elapsed() < expected + 1000, qPrintable(QString::number(clock.elapsed())));
        }
        QCOMPARE(finished.size(), 1);
        QVERIFY(!engine.isRunning());
        QCOMPARE(running.size(), 2);
        QVERIFY(running.at(0).at(0).toBool() && !running.at(1).at(0).toBool());
        QVERIFY(!got.wrong);
        // Buffers of 1024: twelve, the last completed with silence.
        QCOMPARE(got.frameCounts, QList<qsizetype>(12, 1024));
        QCOMPARE(got.snapshot(), samples + QByteArray(12 * 1024 * 2 - samples.size(), '\0'));
        if (speed > 0)
            return;

        // It plays again from the start; silence alone is something to play.
        got.bytes.clear();
        QVERIFY(engine.start());
        QVERIFY(finished.wait(5000));
        QCOMPARE(got.snapshot().left(samples.size()), samples);
        engine.setPcm({});
        QVERIFY(engine.start());
        QVERIFY(finished.wait(5000));
    }

    void stopAndRemoveTapCutDeliveryAtOnce()
    {
        FileAudioEngine engine;
        engine.setPcm(pattern(16000 * 5));
        Collected got;
        engine.installTap(320, got.tap());
        QSignalSpy finished(&engine, &FileAudioEngine::finished);
        QVERIFY(engine.start());
        QTRY_VERIFY_WITH_TIMEOUT(got.calls >= 3, 5000);
        engine.stop();
        QVERIFY(!engine.isRunning());
        const int atStop = got.calls;
        // Another engine playing 300 ms is the clock: the first would have delivered about 15
        // more buffers meanwhile.
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

    void microphoneDeliversWhatTheDeviceHears()
    {
        if (!m_serverUp)
            QSKIP("no private sound server");
        const QByteArray marker = pattern(8000);
        MicrophoneAudioEngine first;
        MicrophoneAudioEngine second; // the listener and dictation capture at once
        Collected gotFirst, gotSecond;
        first.installTap(2048, gotFirst.tap());
        second.installTap(1024, gotSecond.tap());
        QSignalSpy running(&first, &AudioEngine::runningChanged);
        first.prepare();
        QVERIFY(first.start() && second.start());
        QVERIFY(first.isRunning());
        QCOMPARE(running.size(), 1);

        // The device hears silence until both streams flow, then the marker, then silence, in
        // real time.
        std::atomic<bool> flowing = false, markerWritten = false, stop = false;
        std::thread writer([&] {
            const int fd = ::open(QFile::encodeName(m_server.fifoPath()).constData(), O_WRONLY);
            qsizetype at = 0;
            for (auto due = std::chrono::steady_clock::now(); fd >= 0 && !stop; std::this_thread::sleep_until(due += 20ms)) {
                const bool sound = flowing && at < marker.size();
                const QByteArray piece = sound ? marker.mid(at, 640) : QByteArray(640, '\0');
                at += sound ? piece.size() : 0;
                markerWritten = at >= marker.size();
                if (::write(fd, piece.constData(), size_t(piece.size())) < 0)
                    break;
            }
            ::close(fd);
        });
        const auto stopWriting = qScopeGuard([&] { stop = true, writer.join(); });
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
        second.stop();
        QVERIFY(!gotFirst.wrong && !gotSecond.wrong);
        QCOMPARE(gotFirst.frameCounts, QList<qsizetype>(gotFirst.frameCounts.size(), 2048));
        QCOMPARE(gotSecond.frameCounts, QList<qsizetype>(gotSecond.frameCounts.size(), 1024));
    }
};

KESTRIN_TEST_MAIN(AudioEngineTest)
#include "tst_audioengine.moc"
