#pragma once

#include "AudioEngine.h"

#include <QThread>

class MicrophoneCapture;

/// The default audio input device (through Qt Multimedia's QAudioSource, usually PulseAudio or
/// PipeWire), captured at 16 kHz mono 16-bit.
///
/// The audio source lives on a capture thread of its own, so starting, reading and stopping
/// never wait on the main thread; the tap runs on that thread. start() returns false when the
/// machine has no input device; a failure found later (the server refuses the stream, the
/// device goes away) stops the engine and is reported through errorOccurred(). Several engines
/// may capture at once: the wake-word listener and dictation each own one.
class MicrophoneAudioEngine : public AudioEngine
{
    Q_OBJECT

public:
    explicit MicrophoneAudioEngine(QObject *parent = nullptr);
    ~MicrophoneAudioEngine() override;

    bool start() override;
    void stop() override;
    bool isRunning() const override { return m_running; }

signals:
    /// Capture stopped by itself; the engine is no longer running.
    void errorOccurred(const QString &message);

private:
    void onCaptureFailed(quint64 run, const QString &message);

    QThread m_thread;
    MicrophoneCapture *m_capture = nullptr; // lives on m_thread
    bool m_running = false;
    quint64 m_run = 0;
};
