#pragma once

#include <QAudioBuffer>
#include <QAudioFormat>
#include <QObject>

#include <functional>
#include <mutex>

/// A source of sound for the recognizer: the microphone (MicrophoneAudioEngine), or a file
/// played in time (FileAudioEngine) so that tests and benchmarks drive the same path.
///
/// Sound is handed out through one tap: a callback that receives buffers of exactly the number
/// of frames it asked for, in inputFormat() (16 kHz, mono, signed 16-bit). The tap runs on the
/// engine's capture thread, never on the thread that owns the engine, so it must be quick and
/// thread-safe (RecognitionRequest::append is both) and must not call back into the engine.
///
/// Threads: the engine object itself (install, remove, prepare, start, stop, isRunning, the
/// signals) belongs to the thread that created it, normally the main thread. After removeTap()
/// or stop() returns, the tap is not called again and no call of it is still running.
class AudioEngine : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool running READ isRunning NOTIFY runningChanged)

public:
    using Tap = std::function<void(const QAudioBuffer &buffer)>;

    /// 16 kHz, one channel, signed 16-bit: what the recognizer's model was trained on.
    static QAudioFormat inputFormat();
    static constexpr int sampleRate = 16000;

    explicit AudioEngine(QObject *parent = nullptr);
    ~AudioEngine() override;

    /// Sets the one tap (replacing any earlier one); @p frames per buffer, at least 1.
    void installTap(int frames, Tap tap);
    /// Clears the tap; waits for a call of it that is running on the capture thread.
    void removeTap();

    /// Gets ready to start; starting without it is allowed.
    virtual void prepare() {}
    /// Starts capture. False when it cannot start (no input device, nothing to play).
    /// Starting a running engine returns true and changes nothing.
    virtual bool start() = 0;
    /// Stops capture; a stopped engine can be started again.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;

signals:
    void runningChanged(bool running);

protected:
    /// Capture thread: hands @p bytes (16-bit mono samples) on in buffers of the tap's size,
    /// keeping a remainder for the next call. Drops everything while delivery is off.
    void deliver(const char *bytes, qsizetype count);
    /// Capture thread: completes a kept remainder with silence and hands it on.
    void deliverRemainder();
    /// Turns delivery on or off (off also drops the kept remainder); any thread.
    void setDelivering(bool on);

private:
    std::mutex m_tapMutex; // held while the tap runs, so removeTap() and stop() wait for it
    Tap m_tap;
    qsizetype m_tapBytes = 0;
    QByteArray m_pending;
    bool m_delivering = false;
    qint64 m_deliveredFrames = 0;
};
