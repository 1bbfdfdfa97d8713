#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

/// A decoded WAV clip: its samples in a format QAudioSink plays, held in memory.
///
/// The reader takes the RIFF/WAVE files speech synthesizers write: integer PCM of 8, 16, 24 or
/// 32 bits, IEEE float of 32 or 64 bits, plain or WAVE_FORMAT_EXTENSIBLE, 1 to 8 channels.
/// 24-bit samples are widened to 32 bits and 64-bit floats narrowed to 32, the two encodings
/// Qt's sample formats lack. A data chunk that claims more bytes than the file holds (a writer
/// that never patched its header) is read up to the end of the file. Pure value type; any
/// thread.
class WavFile
{
public:
    /// Decodes a whole file's bytes. On failure returns nothing and sets @p error (when given)
    /// to a short English reason such as "not a RIFF WAVE file".
    static std::optional<WavFile> decode(const QByteArray &bytes, QString *error = nullptr);

    QAudioFormat format() const { return m_format; }
    /// Interleaved samples in format(), whole frames only; never empty.
    const QByteArray &samples() const { return m_samples; }
    qint64 frameCount() const;
    std::chrono::microseconds duration() const;

private:
    WavFile() = default;

    QAudioFormat m_format;
    QByteArray m_samples;
};
