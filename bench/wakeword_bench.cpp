// The wake-word listener as it runs all day: its cost while nobody calls it and how reliably
// it answers, on speech generated with flite, through the real WakeWordListener with
// FileAudioEngine as its microphone and the real recognizer.
//
// 1. Cost. A listener hears about a minute of everyday talk without a wake phrase (three
//    voices, 1-2 s pauses), and in another run a minute of silence, in real time. Each run is
//    a child process of its own, so CPU and memory are its own. Real-time factor = CPU seconds
//    of the whole process (getrusage) per second of audio, counted after a warm-up of two
//    sentences that loads the model.
// 2. Accuracy. 120 utterances: the three phrases in four voices at six tempos, with one of
//    five commands or bare, and 48 sentences without a phrase (20 of them near misses). One
//    listener per condition hears them all in sequence in real time, as in use, 2 s apart.
//    A bare phrase opens the command window (7 s), and the run after it is plain dictation
//    until the next utterance ends, however long the pause; so a bare phrase is followed by
//    8 s of silence and then always by a sentence without a phrase, which the listener takes
//    for a command too late and gives up on. Every phrase is thus heard by the phrase search.
//    A callback belongs to the utterance during or after which it came. Clean and in pink
//    noise (on the speech only), the two conditions side by side in two child processes.
// 3. Continuous talk. 60 sentences, one after another with half-second pauses, as people
//    talk to each other: every wake is false. Counted apart from the 48 sentences above.
//
// Run with `make bench` (about fifteen minutes).

#include "AppPaths.h"
#include "BenchSupport.h"
#include "FileAudioEngine.h"
#include "Permissions.h"
#include "SettingsStore.h"
#include "SpeechRecognizer.h"
#include "SpokenAudio.h"
#include "WakeWordListener.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <iterator>
#include <optional>

using namespace std::chrono_literals;
using BenchSupport::cpuSeconds;
using BenchSupport::peakMb;
using BenchSupport::threadCpuSeconds;
using BenchSupport::waitUntil;

namespace {

const QStringList names{QStringLiteral("oryn"), QStringLiteral("tarvik"), QStringLiteral("kestrin")};
const QStringList voices{QStringLiteral("slt"), QStringLiteral("rms"), QStringLiteral("awb"), QStringLiteral("kal16")};
// Six tempos, so each name is said 24 times per condition: with 12, one miss already reads 92 %.
const QList<double> tempos{0.85, 0.9, 1.0, 1.05, 1.15, 1.25};
const QStringList commands{QStringLiteral("what time is it"), QStringLiteral("open firefox"), QStringLiteral("add a task to buy milk"),
                           QStringLiteral("show me a map of tokyo"), QStringLiteral("run echo hi")};
const QStringList everyday{QStringLiteral("I think it will rain later this afternoon"),
                           QStringLiteral("the meeting moved to thursday at ten"),
                           QStringLiteral("can you believe how expensive coffee is now"),
                           QStringLiteral("we should repaint the kitchen next spring"),
                           QStringLiteral("my brother is visiting for the weekend"),
                           QStringLiteral("the train was late again this morning"),
                           QStringLiteral("let us order some food tonight"),
                           QStringLiteral("I left my keys on the table by the door"),
                           QStringLiteral("the kids are playing in the garden"),
                           QStringLiteral("did you feed the cat this morning"),
                           QStringLiteral("what time is it"),
                           QStringLiteral("open firefox"),
                           QStringLiteral("please add milk to the list"),
                           QStringLiteral("show me a map of tokyo")};
// Sound like a phrase, or start like one.
const QStringList nearMisses{QStringLiteral("hey karen open the door"),
                             QStringLiteral("they are in the kitchen"),
                             QStringLiteral("hey erin what time is it"),
                             QStringLiteral("hey travis open firefox"),
                             QStringLiteral("hey kristen add a task to buy milk"),
                             QStringLiteral("a harvest of corn"),
                             QStringLiteral("hey there how are you doing"),
                             QStringLiteral("I saw a kestrel over the field"),
                             QStringLiteral("they drove to oregon in the spring"),
                             QStringLiteral("hey turn the music down a little")};
// Said one after another, each twice in other voices.
const QStringList conversation{
    QStringLiteral("I think it will rain later this afternoon"), QStringLiteral("we should get the groceries before the shop closes"),
    QStringLiteral("the meeting moved to thursday at three"), QStringLiteral("can you believe how warm it was yesterday"),
    QStringLiteral("my brother is coming to visit next week"), QStringLiteral("the train was late again this morning"),
    QStringLiteral("let us try the new restaurant on the corner"), QStringLiteral("I need to finish this report by friday"),
    QStringLiteral("did you remember to call the dentist"), QStringLiteral("the kids are playing in the garden"),
    QStringLiteral("there is a strange noise coming from the car"), QStringLiteral("could you pass me the salt please"),
    QStringLiteral("I left my keys on the kitchen table"), QStringLiteral("the concert starts at eight tonight"),
    QStringLiteral("she said the package would arrive tomorrow"), QStringLiteral("we are running out of coffee again"),
    QStringLiteral("turn left at the next traffic light"), QStringLiteral("the printer on the second floor is broken"),
    QStringLiteral("he is learning to play the guitar"), QStringLiteral("what did you think of the movie"),
    QStringLiteral("the garden needs watering every evening"), QStringLiteral("I will pick up the children after school"),
    QStringLiteral("the price of tickets went up again"), QStringLiteral("our neighbours are painting their house"),
    QStringLiteral("let me check my calendar first"), QStringLiteral("the cat knocked a glass off the shelf"),
    QStringLiteral("I am trying to fix the kitchen sink"), QStringLiteral("the weather forecast says it will be sunny"),
    QStringLiteral("we could go hiking on the weekend"), QStringLiteral("my phone battery is almost empty")};
const QStringList warmUpSentences{QStringLiteral("nothing much is happening here today"),
                                  QStringLiteral("the kettle is on if you want some tea")};

constexpr double gapSeconds = 2.0;
constexpr double conversationGapSeconds = 0.5;
constexpr double afterBareSeconds = 8.0; // longer than the 7 s window
constexpr double trailingSeconds = 3.0;
// A callback comes at least this long after its utterance starts (a phrase and a pause).
constexpr double attributionSlack = 0.8;

double seconds(const QString &wav)
{
    const std::optional<QByteArray> pcm = FileAudioEngine::readPcm(wav);
    return pcm ? double(pcm->size()) / 2.0 / AudioEngine::sampleRate : 0;
}

QString tempoText(double tempo)
{
    return QString::number(tempo, 'f', tempo == 1.0 ? 1 : 2);
}

QString pad(const QString &text, int width)
{
    return width < 0 ? text.leftJustified(-width) : text.rightJustified(width);
}

QString percent(int part, int whole)
{
    return whole > 0 ? QString::number(100.0 * part / whole, 'f', 1) + QStringLiteral(" %") : QStringLiteral("-");
}

QString mark(bool ok)
{
    return ok ? QStringLiteral("  ok") : QStringLiteral("  MISSED");
}

// --- children: one listener each ---

void grantVoiceAccess()
{
    Permissions::Sources sources;
    sources.microphone = [] { return Permissions::Authorization::authorized; };
    sources.speech = [] { return Permissions::Authorization::authorized; };
    sources.screenAllowed = [] { return false; };
    sources.requestSpeech = [](std::function<void(bool)> done) { done(true); };
    sources.requestMicrophone = [](std::function<void(bool)> done) { done(true); };
    Permissions::setSources(sources);
    SettingsStore::shared()->setWakeWordCommandTimeout(7);
}

std::unique_ptr<WakeWordListener> fileListener(const QString &wav, std::chrono::milliseconds trailing, FileAudioEngine **input)
{
    auto engine = std::make_unique<FileAudioEngine>();
    if (!engine->load(wav))
        return nullptr;
    engine->setSpeed(1.0);
    engine->setTrailingSilence(trailing);
    *input = engine.get();
    return std::make_unique<WakeWordListener>(std::move(engine),
                                              [](const QString &locale) { return SpeechRecognizer::create(locale); });
}

/// The numbers in the log's "<prefix> N ms" lines.
QString loggedMs(const QString &prefix)
{
    QFile log(AppPaths::log());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList found;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line);
        const qsizetype at = text.indexOf(prefix);
        if (at >= 0)
            found << text.mid(at + prefix.size()).section(QLatin1Char(' '), 0, 0);
    }
    return found.join(QLatin1Char(','));
}

int runCost(const QString &wav, double measureFrom)
{
    QTextStream out(stdout);
    grantVoiceAccess();
    FileAudioEngine *input = nullptr;
    const auto listener = fileListener(wav, 0ms, &input);
    if (!listener) {
        out << "error=cannot read " << wav << "\n";
        return 1;
    }
    int wakes = 0;
    listener->onWake = [&](WakeWord, const QString &) { ++wakes; };
    listener->onWakeWordHeard = [&](WakeWord) { ++wakes; };
    bool played = false;
    QObject::connect(input, &FileAudioEngine::finished, input, [&] { played = true; });

    double cpuBefore = 0;
    double decoderBefore = 0;
    double residentMax = 0;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &sampler, [&] { residentMax = qMax(residentMax, residentMb()); });
    // The warm-up at the head of the file loads the decoder and the phrase search.
    QTimer::singleShot(int(measureFrom * 1000), input, [&] {
        cpuBefore = cpuSeconds();
        decoderBefore = threadCpuSeconds("kestrin-speech");
        sampler.start(250);
    });
    const double audio = seconds(wav) - measureFrom;
    if (!listener->start()) {
        out << "error=the listener did not start\n";
        return 1;
    }
    waitUntil([&] { return played; }, int((audio + measureFrom + 60) * 1000));
    const double cpu = cpuSeconds() - cpuBefore;
    const double decoderCpu = threadCpuSeconds("kestrin-speech") - decoderBefore;
    residentMax = qMax(residentMax, residentMb());
    listener->stop();

    out << "played=" << (played ? 1 : 0) << "\n";
    out << "cpu=" << cpu << "\n";
    out << "decoderCpu=" << decoderCpu << "\n";
    out << "audio=" << audio << "\n";
    out << "residentMb=" << residentMax << "\n";
    out << "peakMb=" << peakMb() << "\n";
    out << "wakes=" << wakes << "\n";
    out << "modelLoadMs=" << loggedMs(QStringLiteral("Speech model loaded in ")) << "\n";
    return 0;
}

int runListen(const QString &wav)
{
    QTextStream out(stdout);
    grantVoiceAccess();
    FileAudioEngine *input = nullptr;
    const auto listener = fileListener(wav, std::chrono::milliseconds(qint64(trailingSeconds * 1000)), &input);
    if (!listener) {
        out << "error=cannot read " << wav << "\n";
        return 1;
    }
    QElapsedTimer clock;
    QStringList lines;
    listener->onWake = [&](WakeWord word, const QString &command) {
        lines << QStringLiteral("event=%1\twake\t%2\t%3").arg(clock.elapsed()).arg(word.rawValue(), command);
    };
    listener->onWakeWordHeard = [&](WakeWord word) {
        lines << QStringLiteral("event=%1\theard\t%2\t").arg(clock.elapsed()).arg(word.rawValue());
    };
    listener->onWakeWordGaveUp = [&] { lines << QStringLiteral("event=%1\tgaveup\t\t").arg(clock.elapsed()); };
    bool played = false;
    QObject::connect(input, &FileAudioEngine::finished, input, [&] { played = true; });

    // The listener's transcripts are in the log only; read as it grows.
    QFile log(AppPaths::log());
    qint64 logAt = log.exists() ? log.size() : 0;
    QByteArray partial;
    const auto readLog = [&] {
        if (!log.isOpen() && !log.open(QIODevice::ReadOnly))
            return;
        log.seek(logAt);
        const QByteArray more = log.readAll();
        logAt += more.size();
        partial += more;
        const qsizetype end = partial.lastIndexOf('\n');
        if (end < 0)
            return;
        const QByteArray whole = partial.left(end);
        partial.remove(0, end + 1);
        const QString marker = QStringLiteral("WakeWordListener heard: \"");
        for (const QByteArray &line : whole.split('\n')) {
            const QString text = QString::fromUtf8(line);
            const qsizetype at = text.indexOf(marker);
            if (at >= 0)
                lines << QStringLiteral("heard=%1\t%2").arg(clock.elapsed()).arg(text.mid(at + marker.size()).chopped(1));
        }
    };
    QTimer logPoll;
    QObject::connect(&logPoll, &QTimer::timeout, &logPoll, readLog);
    logPoll.start(200);

    const double audio = seconds(wav) + trailingSeconds;
    clock.start();
    if (!listener->start()) {
        out << "error=the listener did not start\n";
        return 1;
    }
    waitUntil([&] { return played; }, int((audio + 120) * 1000));
    waitUntil([] { return false; }, 1500); // the last utterance settles
    readLog();
    listener->stop();

    out << "played=" << (played ? 1 : 0) << "\n";
    out << "modelLoadMs=" << loggedMs(QStringLiteral("Speech model loaded in ")) << "\n";
    out << "dictationLoadMs=" << loggedMs(QStringLiteral("Speech model: dictation loaded in ")) << "\n";
    for (const QString &line : std::as_const(lines))
        out << line << "\n";
    return 0;
}

// --- the parent ---

struct ChildOutput
{
    QHash<QString, QString> values;
    QStringList events;     // "ms\tkind\tword\tcommand"
    QStringList transcripts; // "ms\ttext"
};

ChildOutput parseChild(const QByteArray &output)
{
    ChildOutput parsed;
    for (const QByteArray &line : output.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QString key = QString::fromUtf8(line.left(eq));
        const QString value = QString::fromUtf8(line.mid(eq + 1));
        if (key == QLatin1String("event"))
            parsed.events << value;
        else if (key == QLatin1String("heard"))
            parsed.transcripts << value;
        else
            parsed.values.insert(key, value);
    }
    return parsed;
}

/// A child of this program with its own program folders under @p home.
std::unique_ptr<QProcess> startChild(const QStringList &args, const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("KESTRIN_BENCH_CHILD"), QStringLiteral("1"));
    auto child = std::make_unique<QProcess>();
    child->setProcessEnvironment(env);
    child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child->start(QCoreApplication::applicationFilePath(), args);
    return child;
}

ChildOutput finishChild(QProcess &child, int timeoutMs)
{
    child.waitForFinished(timeoutMs);
    return parseChild(child.readAllStandardOutput());
}

struct Utterance
{
    QString text;
    QString voice;
    double tempo = 1.0;
    QString word;    // the name said in the phrase; empty: no phrase
    QString command; // after the phrase; empty with a phrase: a bare phrase
    bool nearMiss = false;
    bool warmUp = false;
    bool afterBare = false; // heard as the late command of a bare phrase
    double start = 0;       // seconds into the recording
    double end = 0;
};

struct Event
{
    double at = 0;
    QString kind; // wake, heard, gaveup
    QString word;
    QString command;
};

/// What one condition's listener did with each utterance.
struct Heard
{
    QList<QList<Event>> events;     // by utterance
    QList<QStringList> transcripts; // by utterance
    ChildOutput child;
};

/// The utterance a moment belongs to: the last one that began before it, less the slack.
qsizetype utteranceAt(const QList<Utterance> &utterances, double at)
{
    qsizetype found = -1;
    for (qsizetype i = 0; i < utterances.size(); ++i)
        if (utterances[i].start + attributionSlack <= at)
            found = i;
    return found;
}

Heard attribute(const QList<Utterance> &utterances, const ChildOutput &child)
{
    Heard heard;
    heard.child = child;
    heard.events.resize(utterances.size());
    heard.transcripts.resize(utterances.size());
    for (const QString &line : child.events) {
        const QStringList f = line.split(QLatin1Char('\t'));
        const Event e{f.value(0).toDouble() / 1000.0, f.value(1), f.value(2), f.value(3)};
        const qsizetype i = utteranceAt(utterances, e.at);
        if (i >= 0)
            heard.events[i] << e;
    }
    for (const QString &line : child.transcripts) {
        const qsizetype i = utteranceAt(utterances, line.section(QLatin1Char('\t'), 0, 0).toDouble() / 1000.0);
        if (i >= 0)
            heard.transcripts[i] << line.section(QLatin1Char('\t'), 1);
    }
    return heard;
}

bool isWakeEvent(const Event &e)
{
    return e.kind == QLatin1String("wake") || e.kind == QLatin1String("heard");
}

QString describe(const QList<Event> &events)
{
    QStringList parts;
    for (const Event &e : events) {
        if (e.kind == QLatin1String("wake"))
            parts << QStringLiteral("wake %1 \"%2\"").arg(e.word, e.command);
        else if (e.kind == QLatin1String("heard"))
            parts << QStringLiteral("heard %1 (bare)").arg(e.word);
        else
            parts << QStringLiteral("gave up");
    }
    return parts.isEmpty() ? QStringLiteral("no callback") : parts.join(QStringLiteral(", "));
}

struct Score
{
    QHash<QString, int> total; // by word, voice ("v:slt"), tempo ("t:0.90"), kind ("k:bare")
    QHash<QString, int> found;
    int without = 0;
    int nearTotal = 0;
    int falseEveryday = 0;
    int falseNear = 0;
    int wrongWord = 0; // utterances with a phrase that woke another name
    int windows = 0;   // bare phrases heard as bare: a command window opened
    int gaveUps = 0;
    double commandAccuracy = 0;
    int commandsScored = 0;
    QList<double> latencies; // end of speech to the callback
    QStringList notes;

    int falseWakes() const { return falseEveryday + falseNear + wrongWord; }
};

Score score(const QString &condition, const QList<Utterance> &utterances, const Heard &heard)
{
    Score s;
    for (qsizetype i = 0; i < utterances.size(); ++i) {
        const Utterance &u = utterances[i];
        const QList<Event> &events = heard.events[i];
        if (u.warmUp) {
            if (!events.isEmpty())
                s.notes << QStringLiteral("[%1] warm-up \"%2\", not counted: %3").arg(condition, u.text, describe(events));
            continue;
        }
        for (const Event &e : events)
            if (e.kind == QLatin1String("gaveup"))
                ++s.gaveUps;
        QList<Event> wakes;
        std::copy_if(events.cbegin(), events.cend(), std::back_inserter(wakes), isWakeEvent);
        const QString where = QStringLiteral("[%1] \"%2\" (%3, tempo %4%5)")
                                  .arg(condition, u.text, u.voice, tempoText(u.tempo),
                                       u.afterBare ? QStringLiteral(", after a bare phrase") : QString());
        const QString transcripts = heard.transcripts[i].isEmpty()
            ? QStringLiteral("nothing transcribed")
            : QStringLiteral("transcribed \"%1\"").arg(heard.transcripts[i].join(QStringLiteral("\", \"")));
        if (!wakes.isEmpty())
            s.latencies << wakes.first().at - u.end;
        if (u.word.isEmpty()) {
            ++s.without;
            if (u.nearMiss)
                ++s.nearTotal;
            if (!wakes.isEmpty()) {
                ++(u.nearMiss ? s.falseNear : s.falseEveryday);
                s.notes << QStringLiteral("%1 false wake: %2; %3").arg(where, describe(events), transcripts);
            }
            continue;
        }
        const QStringList keys{u.word, QStringLiteral("v:") + u.voice, QStringLiteral("t:") + tempoText(u.tempo),
                               u.command.isEmpty() ? QStringLiteral("k:bare") : QStringLiteral("k:command")};
        const auto right = std::find_if(wakes.cbegin(), wakes.cend(), [&](const Event &e) { return e.word == u.word; });
        const bool wrong = std::any_of(wakes.cbegin(), wakes.cend(), [&](const Event &e) { return e.word != u.word; });
        for (const QString &key : keys) {
            ++s.total[key];
            if (right != wakes.cend())
                ++s.found[key];
        }
        if (wrong)
            ++s.wrongWord;
        if (u.command.isEmpty() && std::any_of(wakes.cbegin(), wakes.cend(), [](const Event &e) { return e.kind == QLatin1String("heard"); }))
            ++s.windows;
        else if (u.command.isEmpty() && right != wakes.cend())
            s.notes << QStringLiteral("%1 bare phrase came with a command: %2; %3").arg(where, describe(events), transcripts);
        if (right != wakes.cend() && !u.command.isEmpty() && right->kind == QLatin1String("wake")) {
            s.commandAccuracy += SpokenAudio::wordAccuracy(u.command, right->command);
            ++s.commandsScored;
        }
        if (right == wakes.cend() || wrong)
            s.notes << QStringLiteral("%1 %2: %3; %4")
                           .arg(where, right == wakes.cend() ? QStringLiteral("missed") : QStringLiteral("wrong name too"),
                                describe(events), transcripts);
    }
    return s;
}

QString ratio(const Score &s, const QString &key)
{
    const int total = s.total.value(key);
    const int found = s.found.value(key);
    return QStringLiteral("%1/%2 %3").arg(found).arg(total).arg(pad(percent(found, total), 7));
}

QString latencyText(QList<double> values)
{
    if (values.isEmpty())
        return QStringLiteral("-");
    std::sort(values.begin(), values.end());
    return QStringLiteral("median %1 s, max %2 s")
        .arg(QString::number(values[values.size() / 2], 'f', 2), QString::number(values.last(), 'f', 2));
}

/// The sentences that load the model at the head of a recording, not counted.
QList<Utterance> warmUpUtterances()
{
    QList<Utterance> order;
    for (const QString &sentence : warmUpSentences) {
        Utterance u;
        u.text = sentence;
        u.voice = order.isEmpty() ? QStringLiteral("slt") : QStringLiteral("rms");
        u.warmUp = true;
        order << u;
    }
    return order;
}

/// Builds the corpus in order: a sentence without a phrase after every bare phrase, and one
/// after every second phrase with a command; the rest at the end.
QList<Utterance> corpus()
{
    QList<Utterance> phrases;
    int option = 0;
    for (const QString &voice : voices)
        for (const double tempo : tempos)
            for (qsizetype w = 0; w < names.size(); ++w) {
                Utterance u;
                u.voice = voice;
                u.tempo = tempo;
                u.word = names[w];
                // Five commands and the bare phrase in turn; each name gets each four times.
                const int pick = (option / 3 + int(w) * 2) % 6;
                ++option;
                u.command = pick < commands.size() ? commands[pick] : QString();
                u.text = QStringLiteral("hey ") + u.word + (u.command.isEmpty() ? QString() : QLatin1Char(' ') + u.command);
                phrases << u;
            }
    // Every sentence twice, in another voice the second time.
    QList<Utterance> others;
    for (const int round : {0, 1})
        for (qsizetype i = 0; i < qMax(everyday.size(), nearMisses.size()); ++i)
            for (const bool near : {true, false}) {
                const QStringList &list = near ? nearMisses : everyday;
                if (i >= list.size())
                    continue;
                Utterance u;
                u.text = list[i];
                u.nearMiss = near;
                u.voice = voices[(others.size() + round) % voices.size()];
                u.tempo = tempos[(others.size() / voices.size()) % tempos.size()];
                others << u;
            }

    QList<Utterance> order = warmUpUtterances();
    qsizetype next = 0;
    int withCommand = 0;
    for (const Utterance &u : std::as_const(phrases)) {
        order << u;
        const bool bare = u.command.isEmpty();
        if ((bare || ++withCommand % 2 == 0) && next < others.size()) {
            order << others[next++];
            order.last().afterBare = bare;
        }
    }
    while (next < others.size())
        order << others[next++];
    return order;
}

/// The warm-up, then every sentence of the conversation twice, in turn by each voice.
QList<Utterance> talkCorpus()
{
    QList<Utterance> order = warmUpUtterances();
    for (qsizetype i = 0; i < 2 * conversation.size(); ++i) {
        Utterance u;
        u.text = conversation[i % conversation.size()];
        u.voice = voices[i % voices.size()];
        order << u;
    }
    return order;
}

/// The utterances spoken and joined into one recording, their times filled in; empty on failure.
QString record(SpokenAudio &audio, QList<Utterance> &utterances, double noise, double gapLength = gapSeconds)
{
    const QString gap = audio.quiet(gapLength);
    const QString longGap = audio.quiet(afterBareSeconds);
    const QString lead = audio.quiet(1.0);
    if (gap.isEmpty() || longGap.isEmpty() || lead.isEmpty())
        return {};
    QStringList parts{lead};
    double at = 1.0;
    for (Utterance &u : utterances) {
        const QStringList effects = u.tempo == 1.0 ? QStringList() : QStringList{QStringLiteral("tempo"), QString::number(u.tempo)};
        const QString spoken = audio.say(u.text, u.voice, effects, u.warmUp ? 0.0 : noise);
        if (spoken.isEmpty())
            return {};
        u.start = at;
        u.end = at + seconds(spoken);
        const bool bare = !u.word.isEmpty() && u.command.isEmpty();
        at = u.end + (bare ? afterBareSeconds : gapLength);
        parts << spoken << (bare ? longGap : gap);
    }
    return audio.join(parts, 0);
}

int orchestrate(const QString &home)
{
    QTextStream out(stdout);
    if (!SpokenAudio::toolsPresent() || !SpeechRecognizer::isModelInstalled()) {
        out << "flite, sox and pocketsphinx-en-us are needed (tools/packages.txt)\n";
        return 1;
    }
    QElapsedTimer total;
    total.start();
    QFile loadFile(QStringLiteral("/proc/loadavg"));
    const QString load = loadFile.open(QIODevice::ReadOnly) ? QString::fromLatin1(loadFile.readAll()).section(QLatin1Char(' '), 0, 2)
                                                            : QStringLiteral("?");
    SpokenAudio audio;
    QElapsedTimer step;
    step.start();

    // --- the recordings ---
    const QString gapShort = audio.quiet(1.0);
    const QString gapLong = audio.quiet(2.0);
    QStringList warmUp{audio.quiet(1.0)};
    for (qsizetype i = 0; i < warmUpSentences.size(); ++i)
        warmUp << audio.say(warmUpSentences[i], i == 0 ? QStringLiteral("slt") : QStringLiteral("rms")) << gapLong;
    double warmUpSeconds = 0;
    for (const QString &part : std::as_const(warmUp))
        warmUpSeconds += seconds(part);

    QStringList talkParts = warmUp;
    double talkSeconds = 0;
    for (qsizetype i = 0; talkSeconds < 60.0; ++i) {
        const QString spoken = audio.say(everyday[i % everyday.size()], voices[i % 3]); // slt, rms, awb
        const QString pause = i % 2 ? gapLong : gapShort;
        if (spoken.isEmpty())
            break;
        talkParts << spoken << pause;
        talkSeconds += seconds(spoken) + seconds(pause);
    }
    const QString talk = audio.join(talkParts, 0);
    const QString silence = audio.join(warmUp + QStringList{audio.quiet(60.0)}, 0);

    QList<Utterance> clean = corpus();
    QList<Utterance> noisy = clean;
    const QString cleanRecording = record(audio, clean, 0);
    const QString noisyRecording = record(audio, noisy, 0.02);
    QList<Utterance> talkClean = talkCorpus();
    QList<Utterance> talkNoisy = talkClean;
    const QString talkCleanRecording = record(audio, talkClean, 0, conversationGapSeconds);
    const QString talkNoisyRecording = record(audio, talkNoisy, 0.02, conversationGapSeconds);
    if (warmUp.contains(QString()) || talk.isEmpty() || silence.isEmpty() || cleanRecording.isEmpty() || noisyRecording.isEmpty()
        || talkCleanRecording.isEmpty() || talkNoisyRecording.isEmpty()) {
        out << "could not make speech: " << audio.lastError() << "\n";
        return 1;
    }
    const double generated = step.elapsed() / 1000.0;

    // --- cost: one after the other, alone on the machine ---
    step.restart();
    const auto costRun = [&](const QString &wav, const QString &name) {
        const auto child = startChild({QStringLiteral("--cost"), wav, QString::number(warmUpSeconds)}, home + QLatin1Char('/') + name);
        return finishChild(*child, 600000);
    };
    const ChildOutput talkCost = costRun(talk, QStringLiteral("cost-talk"));
    const ChildOutput silenceCost = costRun(silence, QStringLiteral("cost-silence"));
    const double costTime = step.elapsed() / 1000.0;

    // --- accuracy: both conditions at once, each on its own core ---
    step.restart();
    const auto cleanChild = startChild({QStringLiteral("--listen"), cleanRecording}, home + QStringLiteral("/clean"));
    const auto noisyChild = startChild({QStringLiteral("--listen"), noisyRecording}, home + QStringLiteral("/noise"));
    const Heard cleanHeard = attribute(clean, finishChild(*cleanChild, 1200000));
    const Heard noisyHeard = attribute(noisy, finishChild(*noisyChild, 1200000));
    const auto talkCleanChild = startChild({QStringLiteral("--listen"), talkCleanRecording}, home + QStringLiteral("/talk-clean"));
    const auto talkNoisyChild = startChild({QStringLiteral("--listen"), talkNoisyRecording}, home + QStringLiteral("/talk-noise"));
    const Heard talkCleanHeard = attribute(talkClean, finishChild(*talkCleanChild, 1200000));
    const Heard talkNoisyHeard = attribute(talkNoisy, finishChild(*talkNoisyChild, 1200000));
    const double accuracyTime = step.elapsed() / 1000.0;

    // --- the report ---
    const auto number = [](const ChildOutput &c, const char *key) { return c.values.value(QString::fromLatin1(key)).toDouble(); };
    out << "Wake-word listener: PocketSphinx 0.8, US English model, " << QThread::idealThreadCount()
        << " cores, load average " << load << " at the start\n\n";

    out << "Cost while nobody calls it, in real time (after a warm-up of " << QString::number(warmUpSeconds, 'f', 1)
        << " s that loads the model)\n";
    out << pad(QStringLiteral("audio"), -30) << pad(QStringLiteral("seconds"), 9) << pad(QStringLiteral("CPU s"), 9)
        << pad(QStringLiteral("RTF"), 8) << pad(QStringLiteral("target"), 9) << pad(QStringLiteral("decoder"), 9)
        << pad(QStringLiteral("RSS MB"), 8) << pad(QStringLiteral("peak MB"), 9) << pad(QStringLiteral("wakes"), 7) << "\n";
    const auto costRow = [&](const QString &name, const ChildOutput &c) {
        const double audioSeconds = qMax(1.0, number(c, "audio"));
        const double rtf = number(c, "cpu") / audioSeconds;
        const bool ran = number(c, "played") > 0;
        out << pad(name, -30) << pad(QString::number(number(c, "audio"), 'f', 1), 9) << pad(QString::number(number(c, "cpu"), 'f', 2), 9)
            << pad(QString::number(rtf, 'f', 4), 8) << pad(QStringLiteral("< 0.05"), 9)
            << pad(QString::number(number(c, "decoderCpu") / audioSeconds, 'f', 4), 9)
            << pad(QString::number(number(c, "residentMb"), 'f', 0), 8) << pad(QString::number(number(c, "peakMb"), 'f', 0), 9)
            << pad(c.values.value(QStringLiteral("wakes"), QStringLiteral("?")), 7) << mark(ran && rtf < 0.05)
            << (ran ? QString() : QStringLiteral(" (the run failed: %1)").arg(c.values.value(QStringLiteral("error")))) << "\n";
    };
    costRow(QStringLiteral("everyday talk, slt/rms/awb"), talkCost);
    costRow(QStringLiteral("silence"), silenceCost);
    out << "(RTF: CPU seconds of the whole process per second of audio; decoder: the recognizer's thread alone;\n"
           " RSS: the most resident while measured, keyword search only; model load "
        << talkCost.values.value(QStringLiteral("modelLoadMs")) << " ms)\n";

    const Score cleanScore = score(QStringLiteral("clean"), clean, cleanHeard);
    const Score noisyScore = score(QStringLiteral("noise"), noisy, noisyHeard);
    const Score talkCleanScore = score(QStringLiteral("talk, clean"), talkClean, talkCleanHeard);
    const Score talkNoisyScore = score(QStringLiteral("talk, noise"), talkNoisy, talkNoisyHeard);
    const int phraseCount = int(std::count_if(clean.cbegin(), clean.cend(), [](const Utterance &u) { return !u.word.isEmpty(); }));
    const int bareCount = int(std::count_if(clean.cbegin(), clean.cend(), [](const Utterance &u) { return !u.word.isEmpty() && u.command.isEmpty(); }));
    const int scoredCount = int(std::count_if(clean.cbegin(), clean.cend(), [](const Utterance &u) { return !u.warmUp; }));
    const double recordingSeconds = clean.last().end + trailingSeconds;

    QStringList tempoTexts;
    for (const double tempo : tempos)
        tempoTexts << tempoText(tempo);
    const QString tempoList = tempoTexts.join(QLatin1Char('/'));
    out << "\nAccuracy: " << scoredCount << " utterances per condition, " << phraseCount << " with a phrase (voices "
        << voices.join(QLatin1Char('/')) << ", tempo " << tempoList << ", " << bareCount << " bare) and " << cleanScore.without
        << " without (" << cleanScore.nearTotal << " near misses);\n"
        << "one listener per condition hears them in sequence in real time (" << QString::number(recordingSeconds, 'f', 0)
        << " s): 2 s apart, 8 s after a bare phrase; noise: pink, 0.02, over the speech\n";
    const int w1 = -26;
    const int w2 = 18;
    out << pad(QStringLiteral("phrase"), w1) << pad(QStringLiteral("clean"), w2) << pad(QStringLiteral("noise"), w2)
        << pad(QStringLiteral("target"), 10) << "\n";
    const auto recallRow = [&](const QString &name, const QString &key, bool withMark) {
        out << pad(name, w1) << pad(ratio(cleanScore, key), w2) << pad(ratio(noisyScore, key), w2);
        if (withMark) {
            const bool ok = cleanScore.found.value(key) * 100 >= cleanScore.total.value(key) * 95
                && noisyScore.found.value(key) * 100 >= noisyScore.total.value(key) * 95;
            out << pad(QStringLiteral(">= 95 %"), 10) << mark(ok);
        }
        out << "\n";
    };
    for (const QString &name : names)
        recallRow(QStringLiteral("hey ") + name, name, true);
    const auto countRow = [&](const QString &name, int cleanCount, int noisyCount, bool withMark) {
        out << pad(name, w1) << pad(QString::number(cleanCount), w2) << pad(QString::number(noisyCount), w2);
        if (withMark)
            out << pad(QStringLiteral("0"), 10) << mark(cleanCount == 0 && noisyCount == 0);
        out << "\n";
    };
    countRow(QStringLiteral("false wakes"), cleanScore.falseWakes(), noisyScore.falseWakes(), true);
    countRow(QStringLiteral("  on everyday talk (%1)").arg(cleanScore.without - cleanScore.nearTotal), cleanScore.falseEveryday,
             noisyScore.falseEveryday, false);
    countRow(QStringLiteral("  on near misses (%1)").arg(cleanScore.nearTotal), cleanScore.falseNear, noisyScore.falseNear, false);
    countRow(QStringLiteral("  the wrong name"), cleanScore.wrongWord, noisyScore.wrongWord, false);
    out << "false wakes in continuous talk (" << talkCleanScore.without << " sentences, "
        << QString::number(conversationGapSeconds, 'f', 1) << " s apart, "
        << QString::number(talkClean.last().end, 'f', 0) << " s; not in the count above)\n";
    countRow(QString(), talkCleanScore.falseWakes(), talkNoisyScore.falseWakes(), false);

    out << "\nrecall by voice, tempo and kind (information)\n";
    for (const QString &voice : voices)
        recallRow(voice, QStringLiteral("v:") + voice, false);
    for (const double tempo : tempos)
        recallRow(QStringLiteral("tempo ") + tempoText(tempo), QStringLiteral("t:") + tempoText(tempo), false);
    recallRow(QStringLiteral("with a command"), QStringLiteral("k:command"), false);
    recallRow(QStringLiteral("bare phrase"), QStringLiteral("k:bare"), false);
    const auto accuracy = [](const Score &s) {
        return s.commandsScored > 0 ? QString::number(100.0 * s.commandAccuracy / s.commandsScored, 'f', 1) + QStringLiteral(" %")
                                    : QStringLiteral("-");
    };
    out << pad(QStringLiteral("command words (1 - WER)"), w1) << pad(accuracy(cleanScore), w2) << pad(accuracy(noisyScore), w2) << "\n";
    out << pad(QStringLiteral("windows opened / gave up"), w1)
        << pad(QStringLiteral("%1 / %2").arg(cleanScore.windows).arg(cleanScore.gaveUps), w2)
        << pad(QStringLiteral("%1 / %2").arg(noisyScore.windows).arg(noisyScore.gaveUps), w2) << "\n";
    out << "end of speech to callback: clean " << latencyText(cleanScore.latencies) << "; noise "
        << latencyText(noisyScore.latencies) << " (a bare phrase waits 1 s for a command)\n";
    out << "dictation loaded in " << cleanHeard.child.values.value(QStringLiteral("dictationLoadMs")) << " / "
        << noisyHeard.child.values.value(QStringLiteral("dictationLoadMs")) << " ms (clean / noise), with the first phrase heard\n";
    for (const Heard *h : {&cleanHeard, &noisyHeard, &talkCleanHeard, &talkNoisyHeard})
        if (h->child.values.value(QStringLiteral("played")) != QLatin1String("1"))
            out << "A listener run did not finish its audio: " << h->child.values.value(QStringLiteral("error")) << "\n";

    out << "\nmisses and false wakes:\n";
    const QStringList notes = cleanScore.notes + noisyScore.notes + talkCleanScore.notes + talkNoisyScore.notes;
    for (const QString &note : notes)
        out << "    " << note << "\n";
    if (notes.isEmpty())
        out << "    none\n";

    out << "\nrun time " << QString::number(total.elapsed() / 1000.0, 'f', 0) << " s (speech made in "
        << QString::number(generated, 'f', 0) << " s, cost runs " << QString::number(costTime, 'f', 0) << " s, accuracy runs "
        << QString::number(accuracyTime, 'f', 0) << " s)\n";
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The program's files go to a folder of the bench's own, never the user's; each child
    // gets a part of it.
    std::optional<QTemporaryDir> home;
    if (qEnvironmentVariableIsEmpty("KESTRIN_BENCH_CHILD")) {
        home.emplace(QDir::tempPath() + QStringLiteral("/kestrin-bench-XXXXXX"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home->filePath(QStringLiteral("data"))));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home->filePath(QStringLiteral("config"))));
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--cost"))
        return runCost(args[2], args[3].toDouble());
    if (args.size() == 3 && args[1] == QLatin1String("--listen"))
        return runListen(args[2]);
    if (!home || !home->isValid())
        return 1;
    return orchestrate(home->path());
}
