#include "WavFile.h"

#include <QtEndian>

#include <cstring>

namespace {

constexpr quint16 formatPcm = 0x0001;
constexpr quint16 formatFloat = 0x0003;
constexpr quint16 formatExtensible = 0xFFFE;
constexpr int maxChannels = 8;
constexpr int maxSampleRate = 768'000;

quint16 u16(const char *p)
{
    return qFromLittleEndian<quint16>(p);
}

quint32 u32(const char *p)
{
    return qFromLittleEndian<quint32>(p);
}

QByteArray widen24(const QByteArray &in)
{
    const qsizetype count = in.size() / 3;
    QByteArray out(count * 4, Qt::Uninitialized);
    const auto *src = reinterpret_cast<const uchar *>(in.constData());
    auto *dst = reinterpret_cast<qint32 *>(out.data());
    for (qsizetype i = 0; i < count; ++i, src += 3) {
        // Into the top three bytes, so full scale stays full scale.
        const quint32 v = (quint32(src[0]) << 8) | (quint32(src[1]) << 16) | (quint32(src[2]) << 24);
        dst[i] = qint32(v);
    }
    return out;
}

QByteArray narrow64(const QByteArray &in)
{
    const qsizetype count = in.size() / 8;
    QByteArray out(count * 4, Qt::Uninitialized);
    auto *dst = reinterpret_cast<float *>(out.data());
    for (qsizetype i = 0; i < count; ++i) {
        double d;
        std::memcpy(&d, in.constData() + i * 8, 8);
        dst[i] = float(d);
    }
    return out;
}

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

} // namespace

std::optional<WavFile> WavFile::decode(const QByteArray &bytes, QString *error)
{
    const char *data = bytes.constData();
    const qsizetype size = bytes.size();
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
        fail(error, QStringLiteral("not a RIFF WAVE file"));
        return std::nullopt;
    }

    bool haveFormat = false;
    quint16 tag = 0;
    int channels = 0;
    int rate = 0;
    int blockAlign = 0;
    int bits = 0;
    std::optional<QByteArray> payload;

    qsizetype pos = 12;
    while (pos + 8 <= size && !payload) {
        const char *id = data + pos;
        const qsizetype declared = u32(data + pos + 4);
        const qsizetype body = pos + 8;
        const qsizetype available = qMin(declared, size - body);
        if (std::memcmp(id, "fmt ", 4) == 0) {
            if (available < 16) {
                fail(error, QStringLiteral("format chunk too short"));
                return std::nullopt;
            }
            const char *f = data + body;
            tag = u16(f);
            channels = u16(f + 2);
            rate = int(qMin<quint32>(u32(f + 4), quint32(INT_MAX)));
            blockAlign = u16(f + 12);
            bits = u16(f + 14);
            if (tag == formatExtensible) {
                if (available < 40) {
                    fail(error, QStringLiteral("extensible format chunk too short"));
                    return std::nullopt;
                }
                tag = u16(f + 24); // the sub-format GUID starts with the plain format code
            }
            haveFormat = true;
        } else if (std::memcmp(id, "data", 4) == 0) {
            if (!haveFormat) {
                fail(error, QStringLiteral("data before the format chunk"));
                return std::nullopt;
            }
            payload = bytes.mid(body, available);
        }
        pos = body + declared + (declared & 1); // chunks are padded to even sizes
    }

    if (!haveFormat) {
        fail(error, QStringLiteral("no format chunk"));
        return std::nullopt;
    }
    if (channels < 1 || channels > maxChannels) {
        fail(error, QStringLiteral("unsupported channel count %1").arg(channels));
        return std::nullopt;
    }
    if (rate < 1 || rate > maxSampleRate) {
        fail(error, QStringLiteral("unsupported sample rate %1").arg(rate));
        return std::nullopt;
    }

    WavFile wav;
    QAudioFormat::SampleFormat sampleFormat = QAudioFormat::Unknown;
    enum class Convert { none, widen24, narrow64 } convert = Convert::none;
    if (tag == formatPcm && bits == 8) {
        sampleFormat = QAudioFormat::UInt8;
    } else if (tag == formatPcm && bits == 16) {
        sampleFormat = QAudioFormat::Int16;
    } else if (tag == formatPcm && bits == 24) {
        sampleFormat = QAudioFormat::Int32;
        convert = Convert::widen24;
    } else if (tag == formatPcm && bits == 32) {
        sampleFormat = QAudioFormat::Int32;
    } else if (tag == formatFloat && bits == 32) {
        sampleFormat = QAudioFormat::Float;
    } else if (tag == formatFloat && bits == 64) {
        sampleFormat = QAudioFormat::Float;
        convert = Convert::narrow64;
    } else {
        fail(error, QStringLiteral("unsupported encoding (format %1, %2 bits)").arg(tag).arg(bits));
        return std::nullopt;
    }
    if (blockAlign != channels * bits / 8) {
        fail(error, QStringLiteral("inconsistent block size %1").arg(blockAlign));
        return std::nullopt;
    }
    if (!payload) {
        fail(error, QStringLiteral("no data chunk"));
        return std::nullopt;
    }

    QByteArray samples = *payload;
    samples.truncate(samples.size() - samples.size() % blockAlign);
    if (samples.isEmpty()) {
        fail(error, QStringLiteral("no audio samples"));
        return std::nullopt;
    }
    if (convert == Convert::widen24)
        samples = widen24(samples);
    else if (convert == Convert::narrow64)
        samples = narrow64(samples);

    wav.m_format.setSampleRate(rate);
    wav.m_format.setChannelCount(channels);
    wav.m_format.setSampleFormat(sampleFormat);
    wav.m_samples = samples;
    return wav;
}

qint64 WavFile::frameCount() const
{
    const int frameBytes = m_format.bytesPerFrame();
    return frameBytes > 0 ? m_samples.size() / frameBytes : 0;
}

std::chrono::microseconds WavFile::duration() const
{
    return std::chrono::microseconds(m_format.durationForFrames(frameCount()));
}
