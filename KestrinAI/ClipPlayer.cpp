#include "ClipPlayer.h"

#include <QAudioSink>
#include <QMediaDevices>

using namespace std::chrono;

ClipPlayer::ClipPlayer(const WavFile &clip, QObject *parent)
    : QObject(parent)
    , m_clip(clip)
    , m_samples(clip.samples())
{
    m_buffer.setBuffer(&m_samples);
    m_deadline.setSingleShot(true);
    m_tail.setSingleShot(true);
    // The end of speech is when the microphone may listen again: not 5 % early or late.
    m_deadline.setTimerType(Qt::PreciseTimer);
    m_tail.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, &ClipPlayer::finish);
    connect(&m_tail, &QTimer::timeout, this, &ClipPlayer::finish);
}

ClipPlayer::~ClipPlayer()
{
    m_done = true;
    releaseSink();
}

milliseconds ClipPlayer::duration() const
{
    return ceil<milliseconds>(m_clip.duration());
}

void ClipPlayer::start()
{
    if (m_started)
        return;
    m_started = true;
    m_clock.start();
    m_deadline.start(duration() + endMargin);

    m_buffer.open(QIODevice::ReadOnly);
    m_sink = new QAudioSink(QMediaDevices::defaultAudioOutput(), m_clip.format());
    connect(m_sink, &QAudioSink::stateChanged, this, &ClipPlayer::onStateChanged);
    m_sink->start(&m_buffer);
    // A sink that failed to open reported so during start(): react to its state now, but
    // report the end from the event loop as promised.
    if (m_sink->state() == QAudio::StoppedState)
        finishLater(0ms);
}

void ClipPlayer::stop()
{
    if (m_done)
        return;
    m_done = true;
    m_deadline.stop();
    m_tail.stop();
    releaseSink();
}

void ClipPlayer::onStateChanged(QAudio::State state)
{
    if (m_done || !m_sink)
        return;
    if (state == QAudio::StoppedState && m_sink->error() != QAudio::NoError) {
        finishLater(0ms);
    } else if (state == QAudio::IdleState && m_buffer.atEnd()) {
        // Everything is with the sound server; its buffer still has to play out, and a clip
        // shorter than that buffer has not even started sounding.
        const auto buffered = microseconds(m_clip.format().durationForBytes(m_sink->bufferSize()));
        const auto untilEnd = ceil<milliseconds>(m_clip.duration()) - milliseconds(m_clock.elapsed());
        finishLater(qMax(ceil<milliseconds>(buffered), untilEnd));
    }
}

void ClipPlayer::finishLater(milliseconds delay)
{
    if (!m_tail.isActive())
        m_tail.start(qMax(delay, 0ms));
}

void ClipPlayer::finish()
{
    if (m_done)
        return;
    stop();
    emit finished();
}

void ClipPlayer::releaseSink()
{
    if (!m_sink)
        return;
    m_sink->disconnect(this);
    m_sink->stop();
    // Qt's PulseAudio sink runs the event loop in its destructor: never destroy it inside a
    // caller's stack frame.
    m_sink->deleteLater();
    m_sink = nullptr;
}
