#pragma once

#include "AudioEngine.h"

#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>

/// An audio engine that plays recorded sound instead of the microphone: tests, benchmarks and
/// trying the voice features on a machine without one.
///
/// The sound is 16 kHz mono 16-bit PCM, from a WAV file or headerless samples. start() begins
/// delivering it to the tap from a thread of its own, paced like a microphone (each buffer
/// when its last sample would have been recorded) at speed() times real time, or as fast as
/// the tap takes it when the speed is 0. Optional trailing silence follows the sound, so a
/// recognizer hears the speaker pause; the last buffer is completed with silence. When
/// everything has been delivered the engine stops by itself and emits finished().
class FileAudioEngine : public AudioEngine
{
    Q_OBJECT
    Q_PROPERTY(double speed READ speed WRITE setSpeed NOTIFY speedChanged)

public:
    explicit FileAudioEngine(QObject *parent = nullptr);
    ~FileAudioEngine() override;

    /// Reads @p path: a RIFF WAV file must hold PCM at 16 kHz, mono, 16-bit; any other file
    /// is taken as raw samples in that format. Nothing on failure, with the reason in @p error.
    static std::optional<QByteArray> readPcm(const QString &path, QString *error = nullptr);

    /// Loads the sound to play (see readPcm); false leaves the earlier sound in place.
    bool load(const QString &path, QString *error = nullptr);
    /// The sound to play: 16-bit mono samples at 16 kHz, native byte order.
    void setPcm(const QByteArray &samples);
    QByteArray pcm() const { return m_pcm; }

    /// 1 plays in real time, 4 four times faster, 0 without waiting. Read at start().
    double speed() const { return m_speed; }
    void setSpeed(double factor);
    /// Silence played after the sound; read at start().
    void setTrailingSilence(std::chrono::milliseconds duration);
    std::chrono::milliseconds trailingSilence() const { return m_trailingSilence; }

    /// False when there is nothing to play.
    bool start() override;
    /// Stops at once; finished() is not emitted for an interrupted run.
    void stop() override;
    bool isRunning() const override { return m_running; }

signals:
    void speedChanged(double speed);
    /// Every sample of a run, the trailing silence included, went to the tap.
    void finished();

private:
    void play(QByteArray samples, double speed, quint64 run);
    void onPlayed(quint64 run);
    void joinPlayer();

    QByteArray m_pcm;
    double m_speed = 1.0;
    std::chrono::milliseconds m_trailingSilence{0};
    bool m_running = false;
    quint64 m_run = 0;

    std::thread m_player;
    std::mutex m_stopMutex;
    std::condition_variable m_stopCondition;
    bool m_stopRequested = false;
};
