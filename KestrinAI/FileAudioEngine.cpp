#include "FileAudioEngine.h"

#include <QFile>
#include <QtEndian>

#include <pthread.h>

namespace {

constexpr qsizetype bytesPerFrame = sizeof(qint16);

quint16 le16(const char *p) { return qFromLittleEndian<quint16>(p); }
quint32 le32(const char *p) { return qFromLittleEndian<quint32>(p); }

/// The samples of a RIFF WAV file, or the reason it cannot be used.
std::optional<QByteArray> parseWav(const QByteArray &file, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::optional<QByteArray>();
    };
    if (file.size() < 12 || !file.startsWith("RIFF") || file.mid(8, 4) != "WAVE")
        return fail(QStringLiteral("not a WAV file"));
    bool formatSeen = false;
    qsizetype at = 12;
    while (at + 8 <= file.size()) {
        const QByteArray id = file.mid(at, 4);
        const qsizetype size = le32(file.constData() + at + 4);
        const qsizetype body = at + 8;
        const qsizetype available = qMin(size, file.size() - body);
        if (id == "fmt ") {
            if (available < 16)
                return fail(QStringLiteral("short format chunk"));
            const char *f = file.constData() + body;
            quint16 tag = le16(f);
            if (tag == 0xFFFE && available >= 26) // extensible: the sub-format's first two bytes
                tag = le16(f + 24);
            if (tag != 1)
                return fail(QStringLiteral("not PCM"));
            if (le16(f + 2) != 1 || le32(f + 4) != quint32(AudioEngine::sampleRate) || le16(f + 14) != 16)
                return fail(QStringLiteral("not 16 kHz mono 16-bit"));
            formatSeen = true;
        } else if (id == "data") {
            if (!formatSeen)
                return fail(QStringLiteral("data before format"));
            QByteArray samples = file.mid(body, available - available % bytesPerFrame);
            if constexpr (Q_BYTE_ORDER == Q_BIG_ENDIAN) {
                auto *s = reinterpret_cast<qint16 *>(samples.data());
                for (qsizetype i = 0; i < samples.size() / bytesPerFrame; ++i)
                    s[i] = qFromLittleEndian(s[i]);
            }
            return samples;
        }
        at = body + size + (size & 1); // chunks are padded to an even length
    }
    return fail(QStringLiteral("no data chunk"));
}

} // namespace

FileAudioEngine::FileAudioEngine(QObject *parent)
    : AudioEngine(parent)
{
}

FileAudioEngine::~FileAudioEngine()
{
    setDelivering(false);
    joinPlayer();
}

std::optional<QByteArray> FileAudioEngine::readPcm(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.startsWith("RIFF"))
        return parseWav(bytes, error);
    return bytes.left(bytes.size() - bytes.size() % bytesPerFrame);
}

bool FileAudioEngine::load(const QString &path, QString *error)
{
    std::optional<QByteArray> samples = readPcm(path, error);
    if (!samples)
        return false;
    m_pcm = std::move(*samples);
    return true;
}

void FileAudioEngine::setPcm(const QByteArray &samples)
{
    m_pcm = samples.left(samples.size() - samples.size() % bytesPerFrame);
}

void FileAudioEngine::setSpeed(double factor)
{
    factor = qMax(0.0, factor);
    if (factor == m_speed)
        return;
    m_speed = factor;
    emit speedChanged(factor);
}

void FileAudioEngine::setTrailingSilence(std::chrono::milliseconds duration)
{
    m_trailingSilence = qMax(std::chrono::milliseconds(0), duration);
}

bool FileAudioEngine::start()
{
    if (m_running)
        return true;
    QByteArray samples = m_pcm;
    samples.append(QByteArray(qsizetype(m_trailingSilence.count()) * sampleRate / 1000 * bytesPerFrame, '\0'));
    if (samples.isEmpty())
        return false;
    joinPlayer();
    m_stopRequested = false;
    setDelivering(true);
    const quint64 run = ++m_run;
    m_player = std::thread(&FileAudioEngine::play, this, std::move(samples), m_speed, run);
    m_running = true;
    emit runningChanged(true);
    return true;
}

void FileAudioEngine::stop()
{
    if (!m_running)
        return;
    ++m_run; // a run that just ended reports nothing
    setDelivering(false);
    joinPlayer();
    m_running = false;
    emit runningChanged(false);
}

void FileAudioEngine::joinPlayer()
{
    {
        const std::lock_guard lock(m_stopMutex);
        m_stopRequested = true;
    }
    m_stopCondition.notify_all();
    if (m_player.joinable())
        m_player.join();
}

void FileAudioEngine::play(QByteArray samples, double speed, quint64 run)
{
    pthread_setname_np(pthread_self(), "kestrin-file");
    using clock = std::chrono::steady_clock;
    // Small pieces when paced, like a capture device's periods; large ones when not.
    const qsizetype piece = (speed > 0 ? sampleRate / 50 : 4096) * bytesPerFrame;
    const clock::time_point begin = clock::now();
    for (qsizetype at = 0; at < samples.size(); at += piece) {
        const qsizetype count = qMin(piece, samples.size() - at);
        if (speed > 0) {
            const double endSeconds = double((at + count) / bytesPerFrame) / sampleRate / speed;
            const auto due = begin + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(endSeconds));
            std::unique_lock lock(m_stopMutex);
            if (m_stopCondition.wait_until(lock, due, [this] { return m_stopRequested; }))
                return;
        } else {
            const std::lock_guard lock(m_stopMutex);
            if (m_stopRequested)
                return;
        }
        deliver(samples.constData() + at, count);
    }
    deliverRemainder();
    QMetaObject::invokeMethod(this, [this, run] { onPlayed(run); }, Qt::QueuedConnection);
}

void FileAudioEngine::onPlayed(quint64 run)
{
    if (run != m_run || !m_running)
        return;
    setDelivering(false);
    joinPlayer();
    m_running = false;
    emit runningChanged(false);
    emit finished();
}
