#pragma once

// Speech made at run time for the recognizer's tests and benchmarks: flite speaks, sox turns the
// result into 16 kHz mono 16-bit WAV and adds noise, tempo or silence. Files go into a private
// temporary folder that lives as long as the object. Playback feeds such a file to the recognizer.

#include "FileAudioEngine.h"
#include "RecognitionRequest.h"

#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

class SpokenAudio
{
public:
    SpokenAudio()
        : m_dir(QDir::tempPath() + QStringLiteral("/kestrin-speech-XXXXXX"))
    {
    }

    static bool toolsPresent()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("flite")).isEmpty()
            && !QStandardPaths::findExecutable(QStringLiteral("sox")).isEmpty();
    }

    /// The last tool failure, for test messages.
    QString lastError() const { return m_error; }

    /// @p text in flite's @p voice (slt, rms, awb, kal16...), then sox @p effects (such as
    /// {"tempo", "1.15"}); @p noise > 0 mixes in sox's @p colour of noise (whitenoise, pinknoise,
    /// brownnoise) of that amplitude (0..1). Empty on failure.
    QString say(const QString &text, const QString &voice, const QStringList &effects = {}, double noise = 0,
                const QString &colour = QStringLiteral("pinknoise"))
    {
        const QString raw = newPath("flite");
        QString out = newPath("speech");
        if (!run(QStringLiteral("flite"), {QStringLiteral("-voice"), voice, QStringLiteral("-t"), text, QStringLiteral("-o"), raw})
            || !run(QStringLiteral("sox"), QStringList{raw} + format() + QStringList{out} + effects))
            return {};
        if (noise > 0) {
            const QString hiss = newPath("hiss");
            const QString mixed = newPath("noisy");
            // synth over an input keeps its length and replaces its sound.
            if (!run(QStringLiteral("sox"), {out, hiss, QStringLiteral("synth"), colour, QStringLiteral("vol"), QString::number(noise)})
                || !run(QStringLiteral("sox"), {QStringLiteral("-m"), out, hiss, mixed}))
                return {};
            out = mixed;
        }
        return out;
    }

    /// @p seconds of digital silence, or of low white noise when @p noise > 0.
    QString quiet(double seconds, double noise = 0)
    {
        const QString out = newPath("quiet");
        const QStringList sound = noise > 0 ? QStringList{QStringLiteral("whitenoise"), QStringLiteral("vol"), QString::number(noise)}
                                            : QStringList{QStringLiteral("sine"), QStringLiteral("0"), QStringLiteral("vol"), QStringLiteral("0")};
        return run(QStringLiteral("sox"), QStringList{QStringLiteral("-n")} + format()
                       + QStringList{out, QStringLiteral("synth"), QString::number(seconds)} + sound)
            ? out
            : QString();
    }

    /// The files one after another, each followed by @p gapSeconds of silence (none for 0).
    QString join(const QStringList &files, double gapSeconds)
    {
        const QString gap = gapSeconds > 0 ? quiet(gapSeconds) : QString(); // sox's "synth 0" never ends
        QStringList parts;
        for (const QString &file : files) {
            parts << file;
            if (!gap.isEmpty())
                parts << gap;
        }
        const QString out = newPath("joined");
        return run(QStringLiteral("sox"), parts + QStringList{out}) ? out : QString();
    }

    /// 1 - word error rate (substitutions, deletions and insertions over the reference's words), at least 0.
    static double wordAccuracy(const QString &reference, const QString &hypothesis)
    {
        const QStringList ref = words(reference);
        const QStringList hyp = words(hypothesis);
        if (ref.isEmpty())
            return hyp.isEmpty() ? 1.0 : 0.0;
        std::vector<int> row(size_t(hyp.size()) + 1);
        for (size_t j = 0; j < row.size(); ++j)
            row[j] = int(j);
        for (qsizetype i = 1; i <= ref.size(); ++i) {
            int diagonal = row[0];
            row[0] = int(i);
            for (qsizetype j = 1; j <= hyp.size(); ++j) {
                const int up = row[size_t(j)];
                row[size_t(j)] = std::min({up + 1, row[size_t(j - 1)] + 1, diagonal + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        return std::max(0.0, 1.0 - double(row.back()) / double(ref.size()));
    }

    /// The share of @p reference's words that occur in @p hypothesis.
    static double wordsFound(const QString &reference, const QString &hypothesis)
    {
        const QStringList ref = words(reference);
        QStringList hyp = words(hypothesis);
        int found = 0;
        for (const QString &word : ref)
            found += hyp.removeOne(word) ? 1 : 0;
        return ref.isEmpty() ? 1.0 : double(found) / double(ref.size());
    }

private:
    /// Lower-case words without punctuation.
    static QStringList words(const QString &text)
    {
        QString clean;
        for (const QChar c : text.toLower())
            clean += c.isLetterOrNumber() || c == QLatin1Char('\'') ? c : QLatin1Char(' ');
        return clean.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }

    static QStringList format()
    {
        return {QStringLiteral("-r"), QStringLiteral("16000"), QStringLiteral("-c"), QStringLiteral("1"),
                QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-e"), QStringLiteral("signed-integer")};
    }

    QString newPath(const char *stem) { return m_dir.filePath(QStringLiteral("%1-%2.wav").arg(QLatin1String(stem)).arg(++m_count)); }

    bool run(const QString &program, const QStringList &args)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        // sox -R: the same "random" noise on every run, so a test always hears the same sound.
        process.start(program, program == QLatin1String("sox") ? QStringList{QStringLiteral("-R")} + args : args);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            m_error = program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QStringLiteral(": ")
                + QString::fromLocal8Bit(process.readAll()).trimmed() + process.errorString();
            return false;
        }
        return true;
    }

    QTemporaryDir m_dir;
    int m_count = 0;
    QString m_error;
};

/// A file played into recognition requests as a caller feeds them from an engine's tap: the tap
/// feeds whichever request is current, feed() puts a new one in place while the engine runs (the
/// wake-word listener's pattern), and the end of the file ends the current request's audio.
class Playback
{
    mutable std::mutex m_mutex;
    std::shared_ptr<RecognitionRequest> m_current;
    bool m_over = false;

public:
    FileAudioEngine engine; // last: stopped before the members its tap uses go

    explicit Playback(const QString &path, double speed, std::chrono::milliseconds trailingSilence = std::chrono::milliseconds(1500),
                      int frames = 1024)
    {
        QString error;
        if (!engine.load(path, &error))
            qWarning() << "cannot load" << path << error;
        engine.setSpeed(speed);
        engine.setTrailingSilence(trailingSilence);
        engine.installTap(frames, [this](const QAudioBuffer &buffer) {
            const std::lock_guard lock(m_mutex);
            if (m_current)
                m_current->append(buffer);
        });
        QObject::connect(&engine, &FileAudioEngine::finished, &engine, [this] {
            const std::lock_guard lock(m_mutex);
            m_over = true;
            if (m_current)
                m_current->endAudio();
        });
    }

    /// A new current request; its audio ends at once when the file is over.
    std::shared_ptr<RecognitionRequest> feed(RecognitionRequest::Mode mode)
    {
        auto request = std::make_shared<RecognitionRequest>(mode);
        const std::lock_guard lock(m_mutex);
        m_current = request;
        if (m_over)
            request->endAudio();
        return request;
    }

    bool isOver() const
    {
        const std::lock_guard lock(m_mutex);
        return m_over;
    }
};
