// The on-device recognizer: cost, memory and accuracy, on speech generated with flite.
//
// 1. Cost and memory. A recording of about a minute (everyday sentences and wake-phrase
//    commands in three voices, with pauses) plays in real time through FileAudioEngine into
//    the recognizer, driven the way the wake-word listener and dictation drive it: one engine,
//    its tap feeding the current request, a new task after each final. Each mode runs in a
//    child process of its own so its memory is its own. Real-time factor = CPU seconds of the
//    whole process (getrusage) per second of audio, model loading excluded.
// 2. Accuracy. 45 wake-phrase commands (3 phrases x 5 commands x 3 voices) and 20 utterances
//    without a phrase, one at a time into one wake-phrase recognizer: how often the right
//    phrase is found, the word accuracy of the command that follows, and false alarms. The
//    same commands in pink noise, and a few phrases that sound close to a wake phrase, are
//    shown for information.
//
// Run with `make bench` (about three minutes).

#include "BenchSupport.h"
#include "FileAudioEngine.h"
#include "SpeechRecognizer.h"
#include "SpokenAudio.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using Mode = RecognitionRequest::Mode;

const QStringList voices{QStringLiteral("slt"), QStringLiteral("rms"), QStringLiteral("awb")};
const QStringList names{QStringLiteral("oryn"), QStringLiteral("tarvik"), QStringLiteral("kestrin")};
const QStringList commands{QStringLiteral("what time is it"), QStringLiteral("run echo hi"), QStringLiteral("open firefox"),
                           QStringLiteral("add a task to buy milk"), QStringLiteral("show me a map of tokyo")};

using BenchSupport::cpuSeconds;
using BenchSupport::peakMb;
using BenchSupport::threadCpuSeconds;
using BenchSupport::waitUntil;

double seconds(const QString &wav)
{
    const std::optional<QByteArray> pcm = FileAudioEngine::readPcm(wav);
    return pcm ? double(pcm->size()) / 2.0 / AudioEngine::sampleRate : 0;
}

/// One file, one task: the final transcript, or nothing when the task ended without one.
std::optional<QString> recognizeFile(SpeechRecognizer &recognizer, const QString &path, Mode mode)
{
    Playback playback(path, 0);
    bool ended = false;
    std::optional<QString> text;
    const auto task = recognizer.recognitionTask(playback.feed(mode), [&](const std::optional<RecognitionResult> &result,
                                                                          const std::optional<RecognitionError> &error) {
        if (result && result->isFinal)
            text = result->bestTranscription;
        ended = error || (result && result->isFinal);
    });
    playback.engine.start();
    waitUntil([&] { return ended; }, 60000);
    return text;
}

// --- child: one mode over the long recording ---

int runMode(const QString &modeName, const QString &recording, const QString &talk, const QString &warmUp)
{
    QTextStream out(stdout);
    // "spotting" is the wake mode over talk without a phrase, as fast as it decodes: one task
    // takes it all.
    const bool spotting = modeName == QLatin1String("spotting");
    const Mode mode = modeName == QLatin1String("dictation") ? Mode::dictation : Mode::wakePhrase;
    const auto recognizer = SpeechRecognizer::create(QStringLiteral("en-US"));
    if (!recognizer) {
        out << "error=no recognizer\n";
        return 1;
    }
    const double baseMb = residentMb();
    QElapsedTimer load;
    load.start();
    if (mode == Mode::wakePhrase) {
        // Talk without a phrase first, as a listener hears before anyone calls it.
        recognizeFile(*recognizer, talk, mode);
    }
    if (!spotting) // loads what is still missing (dictation)
        recognizeFile(*recognizer, warmUp, mode);
    out << "warmUpMs=" << load.elapsed() << "\n";

    Playback playback(recording, spotting ? 0 : 1.0, std::chrono::milliseconds(1500), 2048);
    QStringList finals;
    bool lastEnded = false;
    std::unique_ptr<RecognitionTask> task;
    std::function<void()> next = [&] {
        task = recognizer->recognitionTask(playback.feed(mode), [&](const std::optional<RecognitionResult> &result,
                                                                    const std::optional<RecognitionError> &error) {
            if (result && result->isFinal)
                finals << result->bestTranscription;
            if (error || (result && result->isFinal)) {
                if (playback.isOver())
                    lastEnded = true;
                else
                    next();
            }
        });
    };
    double maxSampleMb = 0;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &sampler, [&] { maxSampleMb = qMax(maxSampleMb, residentMb()); });
    sampler.start(250);

    const double cpuBefore = cpuSeconds();
    const double decoderBefore = threadCpuSeconds("kestrin-speech");
    next();
    playback.engine.start();
    waitUntil([&] { return lastEnded; }, 300000);
    const double cpu = cpuSeconds() - cpuBefore;
    const double decoderCpu = threadCpuSeconds("kestrin-speech") - decoderBefore;
    const double audio = seconds(recording) + 1.5;

    out << "baseMb=" << baseMb << "\n";
    out << "cpu=" << cpu << "\n";
    out << "decoderCpu=" << decoderCpu << "\n";
    out << "audio=" << audio << "\n";
    out << "residentMb=" << qMax(maxSampleMb, residentMb()) << "\n";
    out << "peakMb=" << peakMb() << "\n";
    out << "finals=" << finals.size() << "\n";
    for (const QString &f : std::as_const(finals))
        out << "final=" << f << "\n";
    return 0;
}

QHash<QString, QString> runChild(const QStringList &args, QString *transcripts)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), args);
    child.waitForFinished(600000);
    QHash<QString, QString> values;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QString key = QString::fromUtf8(line.left(eq));
        const QString value = QString::fromUtf8(line.mid(eq + 1));
        if (key == QLatin1String("final"))
            *transcripts += QStringLiteral("    \"%1\"\n").arg(value);
        else
            values.insert(key, value);
    }
    return values;
}

// --- accuracy ---

struct Utterance
{
    QString path;
    QString phrase;  // empty: none was said
    QString command; // or the whole sentence
};

struct Score
{
    int withPhrase = 0;
    int found = 0;
    int wrongPhrase = 0;
    double commandAccuracy = 0; // summed over found phrases
    int without = 0;
    int falseAlarms = 0;
    QStringList misses;
};

Score score(SpeechRecognizer &recognizer, const QList<Utterance> &utterances)
{
    Score s;
    for (const Utterance &u : utterances) {
        const QString heard = recognizeFile(recognizer, u.path, Mode::wakePhrase).value_or(QString());
        if (u.phrase.isEmpty()) {
            ++s.without;
            if (!heard.isEmpty()) {
                ++s.falseAlarms;
                s.misses << QStringLiteral("\"%1\" heard as \"%2\"").arg(u.command, heard);
            }
            continue;
        }
        ++s.withPhrase;
        if (heard.startsWith(u.phrase + QLatin1Char(' ')) || heard == u.phrase) {
            ++s.found;
            s.commandAccuracy += SpokenAudio::wordAccuracy(u.command, heard.mid(u.phrase.size()));
        } else {
            if (!heard.isEmpty())
                ++s.wrongPhrase;
            s.misses << QStringLiteral("\"%1 %2\" heard as \"%3\"").arg(u.phrase, u.command, heard);
        }
    }
    return s;
}

QString percent(double part, double whole)
{
    return whole > 0 ? QString::number(100.0 * part / whole, 'f', 1) + QStringLiteral(" %") : QStringLiteral("-");
}

int orchestrate()
{
    QTextStream out(stdout);
    if (!SpokenAudio::toolsPresent() || !SpeechRecognizer::isModelInstalled()) {
        out << "flite, sox and pocketsphinx-en-us are needed (tools/packages.txt)\n";
        return 1;
    }
    SpokenAudio audio;
    QElapsedTimer timer;
    timer.start();

    // The long recording: everyday talk with six wake-phrase commands among it.
    const QList<QPair<QString, QString>> script{
        {QStringLiteral("I think it will rain later this afternoon"), QStringLiteral("slt")},
        {QStringLiteral("hey oryn what time is it"), QStringLiteral("awb")},
        {QStringLiteral("the meeting moved to thursday at ten"), QStringLiteral("rms")},
        {QStringLiteral("hey tarvik open firefox"), QStringLiteral("slt")},
        {QStringLiteral("can you believe how expensive coffee is now"), QStringLiteral("awb")},
        {QStringLiteral("we should repaint the kitchen next spring"), QStringLiteral("slt")},
        {QStringLiteral("hey kestrin add a task to buy milk"), QStringLiteral("rms")},
        {QStringLiteral("my brother is visiting for the weekend"), QStringLiteral("rms")},
        {QStringLiteral("hey tarvik show me a map of tokyo"), QStringLiteral("awb")},
        {QStringLiteral("the train was late again this morning"), QStringLiteral("awb")},
        {QStringLiteral("let us order some food tonight"), QStringLiteral("slt")},
        {QStringLiteral("hey oryn run echo hi"), QStringLiteral("rms")},
        {QStringLiteral("hey there how are you doing today"), QStringLiteral("rms")},
        {QStringLiteral("hey kestrin what is the weather like tomorrow"), QStringLiteral("slt")},
        {QStringLiteral("I left my keys on the table by the door"), QStringLiteral("awb")},
    };
    QStringList parts;
    QStringList talkParts;
    for (const auto &[text, voice] : script) {
        parts << audio.say(text, voice);
        if (!text.startsWith(QLatin1String("hey ")) || text.startsWith(QLatin1String("hey there")))
            talkParts << parts.last();
    }
    const QString recording = audio.join(parts, 2.0);
    const QString talkOnly = audio.join(talkParts, 2.0);
    const QString talk = audio.say(QStringLiteral("nothing much is happening here today"), QStringLiteral("slt"));
    const QString warmUp = audio.say(QStringLiteral("hey oryn hello there"), QStringLiteral("rms"));

    QList<Utterance> positives;
    QList<Utterance> noisy;
    for (const QString &voice : voices)
        for (const QString &name : names)
            for (const QString &command : commands) {
                const QString phrase = QStringLiteral("hey ") + name;
                positives.append({audio.say(phrase + QLatin1Char(' ') + command, voice), phrase, command});
                noisy.append({audio.say(phrase + QLatin1Char(' ') + command, voice, {}, 0.02), phrase, command});
            }
    const QStringList plain{QStringLiteral("what time is it"), QStringLiteral("open firefox"), QStringLiteral("hey there how are you"),
                            QStringLiteral("they are running late"), QStringLiteral("please add milk to the list")};
    QList<Utterance> negatives;
    for (const QString &voice : voices + QStringList{QStringLiteral("kal16")})
        for (const QString &sentence : plain)
            negatives.append({audio.say(sentence, voice), QString(), sentence});
    QList<Utterance> nearMisses;
    for (const QString &voice : voices)
        for (const QString &sentence : {QStringLiteral("they are in the kitchen"), QStringLiteral("a harvest of corn"),
                                        QStringLiteral("hey karen open the door")})
            nearMisses.append({audio.say(sentence, voice), QString(), sentence});
    for (const QList<Utterance> *set : {&positives, &noisy, &negatives, &nearMisses})
        for (const Utterance &u : *set)
            if (u.path.isEmpty()) {
                out << "could not make speech: " << audio.lastError() << "\n";
                return 1;
            }
    const double generated = timer.elapsed() / 1000.0;

    // One mode after the other, each in a process of its own: run side by side, they would
    // share the cores' caches and each would look slower than it is.
    QString wakeTranscripts;
    QString dictationTranscripts;
    const QHash<QString, QString> wake = runChild({QStringLiteral("--mode"), QStringLiteral("wake"), recording, talk, warmUp},
                                                  &wakeTranscripts);
    QString spottingTranscripts;
    const QHash<QString, QString> spotting = runChild({QStringLiteral("--mode"), QStringLiteral("spotting"), talkOnly, talk, warmUp},
                                                      &spottingTranscripts);
    const QHash<QString, QString> dictation = runChild({QStringLiteral("--mode"), QStringLiteral("dictation"), recording, talk, warmUp},
                                                       &dictationTranscripts);

    timer.restart();
    const auto recognizer = SpeechRecognizer::create(QStringLiteral("en-US"));
    const Score clean = score(*recognizer, positives + negatives);
    const Score inNoise = score(*recognizer, noisy);
    const Score near = score(*recognizer, nearMisses);
    const double scored = timer.elapsed() / 1000.0;

    const auto number = [](const QHash<QString, QString> &values, const char *key) {
        return values.value(QString::fromLatin1(key)).toDouble();
    };
    const auto mark = [](bool ok) { return ok ? QStringLiteral("  ok") : QStringLiteral("  MISSED"); };

    out << "Recognizer: PocketSphinx 0.8, US English model, " << QThread::idealThreadCount() << " cores\n";
    out << "Recording: " << QString::number(number(wake, "audio"), 'f', 1) << " s, " << script.size()
        << " utterances (6 with a wake phrase), played in real time\n\n";
    out << qSetFieldWidth(12) << Qt::left << "mode" << qSetFieldWidth(11) << Qt::right << "CPU s" << "RTF"
        << "target" << "decoder" << "RSS MB" << "peak MB" << "warm-up ms" << qSetFieldWidth(0) << "\n";
    const auto modeRow = [&](const char *name, const QHash<QString, QString> &v, double target) {
        const double rtf = number(v, "cpu") / qMax(1.0, number(v, "audio"));
        out << qSetFieldWidth(12) << Qt::left << name << qSetFieldWidth(11) << Qt::right
            << QString::number(number(v, "cpu"), 'f', 2) << QString::number(rtf, 'f', 3)
            << QStringLiteral("< %1").arg(target)
            << QString::number(number(v, "decoderCpu") / qMax(1.0, number(v, "audio")), 'f', 3)
            << QString::number(number(v, "residentMb"), 'f', 0)
            << QString::number(number(v, "peakMb"), 'f', 0) << QString::number(number(v, "warmUpMs"), 'f', 0)
            << qSetFieldWidth(0) << mark(rtf < target) << "\n";
    };
    modeRow("wake", wake, 0.05);
    modeRow("dictation", dictation, 0.5);
    out << "wake mode while nobody calls (" << QString::number(number(spotting, "audio"), 'f', 1) << " s of the talk alone):\n";
    modeRow("spotting", spotting, 0.05);
    out << "(RTF: CPU seconds of the whole process per second of audio; decoder: the recognizer's thread alone)\n";
    out << "\nresident memory, wake mode only: " << QString::number(number(spotting, "residentMb"), 'f', 0)
        << " MB before any phrase (keyword search alone), " << QString::number(number(wake, "residentMb"), 'f', 0)
        << " MB with dictation loaded after the first phrase (target < 200)"
        << mark(number(wake, "residentMb") < 200) << "\n";
    out << "the process itself without a decoder: " << QString::number(number(wake, "baseMb"), 'f', 0) << " MB\n";
    out << "\nwake-mode transcripts of the recording:\n" << wakeTranscripts;

    out << "\nAccuracy, one wake-phrase recognizer, voices " << voices.join(QStringLiteral(", ")) << "\n";
    out << qSetFieldWidth(46) << Qt::left << "measure" << qSetFieldWidth(14) << Qt::right << "result" << "target"
        << qSetFieldWidth(0) << "\n";
    const auto row = [&](const QString &name, const QString &result, const QString &target, std::optional<bool> ok) {
        out << qSetFieldWidth(46) << Qt::left << name << qSetFieldWidth(14) << Qt::right << result << target
            << qSetFieldWidth(0) << (ok ? mark(*ok) : QString()) << "\n";
    };
    row(QStringLiteral("phrase found (%1/%2)").arg(clean.found).arg(clean.withPhrase), percent(clean.found, clean.withPhrase),
        QStringLiteral(">= 90 %"), clean.found * 10 >= clean.withPhrase * 9);
    row(QStringLiteral("wrong phrase"), QString::number(clean.wrongPhrase), QString(), std::nullopt);
    row(QStringLiteral("command word accuracy (1 - WER)"), percent(clean.commandAccuracy, clean.found), QString(), std::nullopt);
    row(QStringLiteral("false alarms in %1 without a phrase").arg(clean.without), QString::number(clean.falseAlarms),
        QStringLiteral("0"), clean.falseAlarms == 0);
    row(QStringLiteral("in pink noise: phrase found (%1/%2)").arg(inNoise.found).arg(inNoise.withPhrase),
        percent(inNoise.found, inNoise.withPhrase), QString(), std::nullopt);
    row(QStringLiteral("in pink noise: command word accuracy"), percent(inNoise.commandAccuracy, inNoise.found), QString(), std::nullopt);
    row(QStringLiteral("near misses taken for a phrase (of %1)").arg(near.without), QString::number(near.falseAlarms),
        QString(), std::nullopt);
    out << "\nmisses and false alarms:\n";
    for (const QString &m : clean.misses + inNoise.misses + near.misses)
        out << "    " << m << "\n";
    out << "\n(speech generated in " << QString::number(generated, 'f', 0) << " s, accuracy runs took "
        << QString::number(scored, 'f', 0) << " s)\n";
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The program's log lines go to a folder of the bench's own, not the user's.
    std::optional<QTemporaryDir> home;
    if (qEnvironmentVariableIsEmpty("KESTRIN_BENCH_CHILD")) { // children share their parent's
        home.emplace(QDir::tempPath() + QStringLiteral("/kestrin-bench-XXXXXX"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home->path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home->path()));
        qputenv("KESTRIN_BENCH_CHILD", "1");
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 6 && args[1] == QLatin1String("--mode"))
        return runMode(args[2], args[3], args[4], args[5]);
    return orchestrate();
}
