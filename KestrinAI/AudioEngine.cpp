#include "AudioEngine.h"

QAudioFormat AudioEngine::inputFormat()
{
    QAudioFormat format;
    format.setSampleRate(sampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

AudioEngine::AudioEngine(QObject *parent)
    : QObject(parent)
{
}

AudioEngine::~AudioEngine() = default;

void AudioEngine::installTap(int frames, Tap tap)
{
    const std::lock_guard lock(m_tapMutex);
    m_tap = std::move(tap);
    m_tapBytes = qsizetype(qMax(1, frames)) * qsizetype(sizeof(qint16));
    m_pending.clear();
}

void AudioEngine::removeTap()
{
    const std::lock_guard lock(m_tapMutex);
    m_tap = nullptr;
    m_pending.clear();
}

void AudioEngine::setDelivering(bool on)
{
    const std::lock_guard lock(m_tapMutex);
    m_delivering = on;
    m_pending.clear();
    if (on)
        m_deliveredFrames = 0;
}

void AudioEngine::deliver(const char *bytes, qsizetype count)
{
    const std::lock_guard lock(m_tapMutex);
    if (!m_delivering || !m_tap)
        return;
    m_pending.append(bytes, count);
    const QAudioFormat format = inputFormat();
    qsizetype offset = 0;
    while (m_pending.size() - offset >= m_tapBytes) {
        const QAudioBuffer buffer(m_pending.mid(offset, m_tapBytes), format,
                                  m_deliveredFrames * 1'000'000 / sampleRate);
        m_deliveredFrames += m_tapBytes / qsizetype(sizeof(qint16));
        offset += m_tapBytes;
        m_tap(buffer);
    }
    m_pending.remove(0, offset);
}

void AudioEngine::deliverRemainder()
{
    qsizetype missing = 0;
    {
        const std::lock_guard lock(m_tapMutex);
        if (m_pending.isEmpty())
            return;
        missing = m_tapBytes - m_pending.size();
    }
    deliver(QByteArray(missing, '\0').constData(), missing);
}
