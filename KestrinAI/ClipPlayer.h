#pragma once

#include "WavFile.h"

#include <QAudio>
#include <QBuffer>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

class QAudioSink;

/// Plays one decoded clip once on the default audio output, and reports its end.
///
/// Contract: after start(), finished() is emitted exactly once, always from the event loop
/// (never inside start()): when the clip has played out, when the output cannot be opened, or,
/// at the latest, the clip's duration plus endMargin after start() - a sound server that
/// stalls or never reports the end cannot keep the clip "playing". After stop() or destruction
/// nothing is emitted.
///
/// Why the end is not simply the sink's idle state: Qt 6.4's PulseAudio sink turns idle when
/// the last bytes were handed to the server, which for a short clip is before any sound came
/// out. So the end is the later of that moment plus the sink's buffer length and the start plus
/// the clip's duration.
///
/// Thread: the creating thread (main). Owns its sink and the clip's samples.
class ClipPlayer : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds endMargin{2000};

    explicit ClipPlayer(const WavFile &clip, QObject *parent = nullptr);
    ~ClipPlayer() override;

    void start();
    void stop();
    bool isPlaying() const { return m_started && !m_done; }
    std::chrono::milliseconds duration() const;

signals:
    void finished();

private:
    void onStateChanged(QAudio::State state);
    void finishLater(std::chrono::milliseconds delay);
    void finish();
    void releaseSink();

    WavFile m_clip;
    QByteArray m_samples; // read by m_buffer; kept here so the buffer never outlives it
    QBuffer m_buffer;
    QAudioSink *m_sink = nullptr;
    QElapsedTimer m_clock;
    QTimer m_deadline; // duration + endMargin: the end at the latest
    QTimer m_tail;     // from the sink's idle state to the end of the sound
    bool m_started = false;
    bool m_done = false;
};
