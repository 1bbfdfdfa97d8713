#include "RecognitionRequest.h"

#include "AudioEngine.h"
#include "DebugLog.h"

namespace {

// A task queued behind another, or a recognizer still loading its model, lets audio pile up;
// beyond a minute the oldest goes (about 2 MB).
constexpr qsizetype maxBufferedBytes = qsizetype(AudioEngine::sampleRate) * 60 * qsizetype(sizeof(qint16));

} // namespace

RecognitionRequest::RecognitionRequest(Mode mode)
    : m_mode(mode)
{
}

void RecognitionRequest::append(const QAudioBuffer &buffer)
{
    if (buffer.format() != AudioEngine::inputFormat()) {
        const std::lock_guard lock(m_mutex);
        if (!m_dropLogged) // one line per request is plenty
            DebugLog::log(QStringLiteral("RecognitionRequest: dropped audio that is not 16 kHz mono 16-bit"));
        m_dropLogged = true;
        return;
    }
    appendSamples(QByteArray(buffer.constData<char>(), buffer.byteCount()));
}

void RecognitionRequest::appendSamples(const QByteArray &samples)
{
    if (samples.isEmpty())
        return;
    {
        const std::lock_guard lock(m_mutex);
        if (m_ended || m_closed)
            return;
        m_chunks.push_back(samples);
        m_bufferedBytes += samples.size();
        while (m_bufferedBytes > maxBufferedBytes && m_chunks.size() > 1) {
            m_bufferedBytes -= m_chunks.front().size();
            m_chunks.pop_front();
            if (!m_dropLogged)
                DebugLog::log(QStringLiteral("RecognitionRequest: recognizer fell behind, dropped old audio"));
            m_dropLogged = true;
        }
    }
    m_condition.notify_one();
}

void RecognitionRequest::endAudio()
{
    {
        const std::lock_guard lock(m_mutex);
        m_ended = true;
    }
    m_condition.notify_one();
}

bool RecognitionRequest::isAudioEnded() const
{
    const std::lock_guard lock(m_mutex);
    return m_ended;
}

RecognitionRequest::Audio RecognitionRequest::takeAudio(const std::function<bool()> &interrupted)
{
    std::unique_lock lock(m_mutex);
    m_condition.wait(lock, [&] { return !m_chunks.empty() || m_ended || interrupted(); });
    Audio audio;
    audio.interrupted = interrupted();
    if (audio.interrupted)
        return audio;
    audio.samples.reserve(m_bufferedBytes);
    for (const QByteArray &chunk : m_chunks)
        audio.samples.append(chunk);
    m_chunks.clear();
    m_bufferedBytes = 0;
    audio.ended = m_ended;
    return audio;
}

void RecognitionRequest::wake()
{
    {
        const std::lock_guard lock(m_mutex); // so a waiter between its check and its wait sees it
    }
    m_condition.notify_all();
}

void RecognitionRequest::close()
{
    const std::lock_guard lock(m_mutex);
    m_closed = true;
    m_chunks.clear();
    m_bufferedBytes = 0;
}
