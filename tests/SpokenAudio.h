#pragma once

// Speech made at run time for the recognizer's tests and benchmark: flite speaks, sox turns
// the result into 16 kHz mono 16-bit WAV and adds noise, tempo or silence. Files go into a
// private temporary folder that lives as long as the object.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <vector>

class SpokenAudio
{
public:
    SpokenAudio()
        : m_dir(QDir::tempPath() + QStringLiteral("/kestrin-speech-XXXXXX"))
    {
    }

    /// flite and sox are on the PATH.
    static bool toolsPresent()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("flite")).isEmpty()
            && !QStandardPaths::findExecutable(QStringLiteral("sox")).isEmpty();
    }

    QString folder() const { return m_dir.path(); }
    /// The last tool failure, for test messages.
    QString lastError() const { return m_error; }

    /// @p text in flite's @p voice (slt, rms, awb, kal16...), then sox @p effects (such as
    /// {"tempo", "1.15"}); @p noise > 0 mixes in noise of that amplitude (0..1) and @p colour
    /// (sox's whitenoise, pinknoise, brownnoise). Empty on failure.
    QString say(const QString &text, const QString &voice, const QStringList &effects = {}, double noise = 0,
                const QString &colour = QStringLiteral("pinknoise"))
    {
        const QString raw = newPath(QStringLiteral("flite"));
        if (!run(QStringLiteral("flite"), {QStringLiteral("-voice"), voice, QStringLiteral("-t"), text, QStringLiteral("-o"), raw}))
            return {};
        QString out = newPath(QStringLiteral("speech"));
        if (!run(QStringLiteral("sox"), QStringList{raw} + format() + QStringList{out} + effects))
            return {};
        if (noise > 0) {
            const QString hiss = newPath(QStringLiteral("hiss"));
            const QString mixed = newPath(QStringLiteral("noisy"));
            // synth over an input keeps its length and replaces its sound.
            if (!run(QStringLiteral("sox"), {out, hiss, QStringLiteral("synth"), colour,
                                             QStringLiteral("vol"), QString::number(noise)})
                || !run(QStringLiteral("sox"), {QStringLiteral("-m"), out, hiss, mixed}))
                return {};
            out = mixed;
        }
        return out;
    }

    /// @p seconds of digital silence, or of low white noise when @p noise > 0.
    QString quiet(double seconds, double noise = 0)
    {
        const QString out = newPath(QStringLiteral("quiet"));
        QStringList args{QStringLiteral("-n")};
        args << format() << out << QStringLiteral("synth") << QString::number(seconds);
        if (noise > 0)
            args << QStringLiteral("whitenoise") << QStringLiteral("vol") << QString::number(noise);
        else
            args << QStringLiteral("sine") << QStringLiteral("0") << QStringLiteral("vol") << QStringLiteral("0");
        return run(QStringLiteral("sox"), args) ? out : QString();
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
        const QString out = newPath(QStringLiteral("joined"));
        return run(QStringLiteral("sox"), parts + QStringList{out}) ? out : QString();
    }

    /// Lower-case words without punctuation.
    static QStringList words(const QString &text)
    {
        QString clean;
        for (const QChar c : text.toLower())
            clean += c.isLetterOrNumber() || c == QLatin1Char('\'') ? c : QLatin1Char(' ');
        return clean.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }

    /// 1 - word error rate (substitutions, deletions and insertions over the reference's
    /// words), at least 0.
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
        if (ref.isEmpty())
            return 1.0;
        int found = 0;
        for (const QString &word : ref) {
            const qsizetype at = hyp.indexOf(word);
            if (at >= 0) {
                ++found;
                hyp.removeAt(at);
            }
        }
        return double(found) / double(ref.size());
    }

private:
    static QStringList format()
    {
        return {QStringLiteral("-r"), QStringLiteral("16000"), QStringLiteral("-c"), QStringLiteral("1"),
                QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-e"), QStringLiteral("signed-integer")};
    }

    QString newPath(const QString &stem)
    {
        return m_dir.filePath(QStringLiteral("%1-%2.wav").arg(stem).arg(++m_count));
    }

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
