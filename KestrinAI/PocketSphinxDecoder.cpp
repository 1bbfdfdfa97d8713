#include "PocketSphinxDecoder.h"

#include "AudioEngine.h"
#include "DebugLog.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryFile>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <sphinxbase/ngram_model.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <utility>

namespace {

constexpr qsizetype frameSamples = 160; // PocketSphinx's 10 ms frame shift at 16 kHz
constexpr qsizetype samplesPerSecond = AudioEngine::sampleRate;
// Audio is decoded in steps of 100 ms: the rate of partial results and of pause checks.
constexpr qsizetype step = samplesPerSecond / 10;
// After a wake phrase, this much audio without speech means the phrase stood alone.
constexpr qsizetype commandWaitSamples = samplesPerSecond;
// Caps that keep endless noise from growing an utterance without bound.
constexpr qsizetype maxSpottingSamples = 20 * samplesPerSecond;
constexpr qsizetype maxSpeechSamples = 30 * samplesPerSecond;
// Until a decoder has heard this much speech, its cepstral mean is still settling.
constexpr qsizetype adaptationSamples = 4 * samplesPerSecond;
// After a new stream starts, the voice detector reports speech that is not there and its end
// about a second later, even in silence; its verdicts count only after this much audio.
constexpr qsizetype vadSettleSamples = samplesPerSecond * 16 / 10;
// Sound kept from before the start of speech, for a second look at an utterance.
constexpr qsizetype preRollSamples = samplesPerSecond / 2;
// Frames the front end holds back (its analysis window and the delta features): fed, not yet
// searched. With the search's own delay, how long ago a phrase reported now ended.
constexpr qsizetype frontEndLagFrames = 5;

const char *const wakeSearch = "wake";
const char *const dictationSearch = "dictation";
const char *const commandSearch = "command"; // dictation after a wake phrase

struct WakeWord
{
    const char *word;
    // The first is the name as it is written; the others are how it is often said, added to the
    // dictionary as alternates ("oryn(2)"), so dictation knows them too.
    const char *pronunciations[3];
    const char *phrase;
};

const WakeWord wakeWords[] = {
    {"oryn", {"AO R IH N", "AA R IH N", "Y AO R IH N"}, "hey oryn"}, // "are-in"; "hey-yoryn" with the glide
    {"tarvik", {"T AA R V IH K"}, "hey tarvik"},
    {"kestrin", {"K EH S T R IH N"}, "hey kestrin"},
};

// What the keyword search listens for: each wake phrase in each of its pronunciations, and
// names that sound like ours. A stretch of speech that fits one of those better than any of
// ours is not a wake phrase: "hey erin" must not wake Oryn.
struct Keyphrase
{
    const char *phrase;    // in the dictionary's words, alternates included
    const char *threshold; // lower finds more, and more false alarms; set with the wake-word bench
    int wakeWord;          // into wakeWords; -1 for a name that only sounds like one of ours
};

const Keyphrase keyphrases[] = {
    {"hey oryn", "1e-20", 0},
    {"hey oryn(2)", "1e-5", 0}, // "hey are in..." is common: this one must fit well
    {"hey oryn(3)", "1e-20", 0},
    {"hey tarvik", "1e-40", 1},
    {"hey kestrin", "1e-40", 2}, // awb's slow "kestrin" comes out as "K EH Z G IH N"
    {"hey erin", "1e-30", -1},
    {"hey aaron", "1e-30", -1},
    {"hey karen", "1e-30", -1},
    {"hey travis", "1e-30", -1},
    {"hey kristen", "1e-30", -1},
};

// The keyword search drops a phrase's path that falls this far behind the best of its phone
// loop. Wider than the decoder's 1e-48, which lost kal16's quick "hey tarvik" halfway through;
// dictation keeps its own.
const double keywordBeam = 1e-55;

// After the first detection, frames to wait for others of the same stretch before choosing.
constexpr int detectionSettleFrames = 5;
// Frames between the starts of two detections that read the same words.
constexpr int rivalStartSlack = 2;

// Talk before a phrase: a frame this far above the room's noise is speech, and a pause of
// this many frames ends a stretch of talk. A phrase after more talk than the last is part of
// it: callers said at most 0.6 s before a phrase (an "okay", a breath), while ordinary
// sentences that fit one came after a second or more.
constexpr double loudAboveNoiseDb = 15;
constexpr double noiseRisePerFrameDb = 0.02; // a room grown louder is learnt at 2 dB a second
constexpr int pauseFrames = 30;
constexpr int maxTalkBeforePhraseFrames = 70;
// The longest a phrase lasts, said slowly: the slowest of the wake-word bench take 0.95 s.
constexpr int maxPhraseFrames = 120;

// Decoders are made and freed one at a time: each one re-opens PocketSphinx's process-wide
// log file, which must not happen under another decoder's feet.
std::mutex &lifecycleMutex()
{
    static std::mutex mutex;
    return mutex;
}

void discardLog(void *, err_lvl_t, const char *, ...) {}

} // namespace

const QStringList &PocketSphinxDecoder::wakePhrases()
{
    static const QStringList phrases = [] {
        QStringList list;
        for (const WakeWord &w : wakeWords)
            list << QString::fromLatin1(w.phrase);
        return list;
    }();
    return phrases;
}

PocketSphinxDecoder::PocketSphinxDecoder(const QString &modelFolder)
    : m_modelFolder(modelFolder)
{
}

std::unique_ptr<PocketSphinxDecoder> PocketSphinxDecoder::create(const QString &modelFolder, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        DebugLog::log(QStringLiteral("Speech model: ") + why);
        return std::unique_ptr<PocketSphinxDecoder>();
    };
    const QByteArray hmm = QFile::encodeName(modelFolder + QStringLiteral("/en-us"));
    const QByteArray dict = QFile::encodeName(modelFolder + QStringLiteral("/cmudict-en-us.dict"));
    if (!QFileInfo(QString::fromLocal8Bit(hmm)).isDir() || !QFileInfo::exists(QString::fromLocal8Bit(dict)))
        return fail(QStringLiteral("not installed in ") + modelFolder);

    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<PocketSphinxDecoder> decoder(new PocketSphinxDecoder(modelFolder));
    {
        const std::lock_guard lock(lifecycleMutex());
        // PocketSphinx logs a great deal, from every decoder's thread into one shared file
        // handle; nothing of it is wanted. Set once, before any decoder can be logging.
        static std::once_flag silenced;
        std::call_once(silenced, [] { err_set_callback(discardLog, nullptr); });
        cmd_ln_t *config = cmd_ln_init(nullptr, ps_args(), TRUE,
                                       "-hmm", hmm.constData(),
                                       "-dict", dict.constData(),
                                       "-logfn", "/dev/null",
                                       "-kws_threshold", "1e-20",
                                       // A pause of 0.7 s ends an utterance: people stop for
                                       // half a second in mid-sentence.
                                       "-vad_postspeech", "70",
                                       // Caps the dictation search's active models per frame:
                                       // half the CPU of the default, and no loss of accuracy
                                       // measured on generated commands.
                                       "-maxhmmpf", "1500",
                                       nullptr);
        if (config) {
            decoder->m_ps = ps_init(config);
            cmd_ln_free_r(config); // the decoder keeps its own reference
        }
    }
    if (!decoder->m_ps)
        return fail(QStringLiteral("the acoustic model or dictionary in %1 could not be loaded").arg(modelFolder));
    for (const WakeWord &w : wakeWords) {
        // A keyword naming a word the dictionary lacks would silently never be found.
        for (qsizetype i = 0; i < qsizetype(std::size(w.pronunciations)) && w.pronunciations[i]; ++i) {
            const QByteArray word = i == 0 ? QByteArray(w.word) : QByteArray(w.word) + '(' + QByteArray::number(i + 1) + ')';
            if (ps_add_word(decoder->m_ps, word.constData(), w.pronunciations[i], TRUE) < 0)
                return fail(QStringLiteral("could not add \"%1\" to the dictionary").arg(QLatin1String(word)));
        }
    }
    DebugLog::log(QStringLiteral("Speech model loaded in %1 ms").arg(timer.elapsed()));
    return decoder;
}

PocketSphinxDecoder::~PocketSphinxDecoder()
{
    if (!m_ps)
        return;
    abandon();
    const std::lock_guard lock(lifecycleMutex());
    ps_free(m_ps);
}

bool PocketSphinxDecoder::ensureWakeSearch(QString *error)
{
    if (m_hasWakeSearch)
        return true;
    // The keyword list is read from a file: one phrase per line with its own threshold.
    QTemporaryFile list;
    if (!list.open()) {
        if (error)
            *error = QStringLiteral("could not write the wake phrase list");
        return false;
    }
    for (const Keyphrase &k : keyphrases)
        list.write(QByteArray(k.phrase) + " /" + k.threshold + "/\n");
    list.flush();
    cmd_ln_t *config = ps_get_config(m_ps);
    const double beam = cmd_ln_float64_r(config, "-beam");
    cmd_ln_set_float_r(config, "-beam", keywordBeam);
    const int set = ps_set_kws(m_ps, wakeSearch, QFile::encodeName(list.fileName()).constData()); // reads it
    cmd_ln_set_float_r(config, "-beam", beam);
    if (set < 0) {
        if (error)
            *error = QStringLiteral("the wake phrase search could not be set up");
        return false;
    }
    m_hasWakeSearch = true;
    return true;
}

bool PocketSphinxDecoder::ensureDictationSearch(Dictation kind, QString *error)
{
    const char *const name = kind == Dictation::command ? commandSearch : dictationSearch;
    if (ps_get_lm(m_ps, name))
        return true;
    QElapsedTimer timer;
    timer.start();
    // Both searches share one language model; the second to be made borrows the first's.
    const char *const other = kind == Dictation::command ? dictationSearch : commandSearch;
    ngram_model_t *lm = ps_get_lm(m_ps, other);
    if (lm) {
        ngram_model_retain(lm);
    } else {
        const QByteArray path = QFile::encodeName(m_modelFolder + QStringLiteral("/en-us.lm.bin"));
        lm = ngram_model_read(ps_get_config(m_ps), path.constData(), NGRAM_AUTO, ps_get_logmath(m_ps));
        if (!lm) {
            if (error)
                *error = QStringLiteral("the language model %1 could not be loaded").arg(QString::fromLocal8Bit(path));
            DebugLog::log(QStringLiteral("Speech model: the language model could not be loaded"));
            return false;
        }
        // The wake names are not English words: with them, a dictated command may name one.
        for (const WakeWord &w : wakeWords)
            ngram_model_add_word(lm, w.word, 1.0f);
    }
    // The second pass over a finished utterance (-fwdflat) buys a point or two of accuracy for
    // about a fifth of what a listener spends when commands come often: worth it for
    // dictation, not for commands after a wake phrase.
    cmd_ln_t *config = ps_get_config(m_ps);
    const bool secondPass = cmd_ln_boolean_r(config, "-fwdflat");
    cmd_ln_set_boolean_r(config, "-fwdflat", secondPass && kind == Dictation::full);
    const int set = ps_set_lm(m_ps, name, lm); // reads the option as it makes the search
    cmd_ln_set_boolean_r(config, "-fwdflat", secondPass);
    ngram_model_free(lm); // the search holds its own reference
    if (set < 0) {
        if (error)
            *error = QStringLiteral("the dictation search could not be set up");
        return false;
    }
    DebugLog::log(QStringLiteral("Speech model: dictation loaded in %1 ms").arg(timer.elapsed()));
    return true;
}

bool PocketSphinxDecoder::begin(Mode mode, bool partialResults, QString *error)
{
    abandon();
    const bool ready = mode == Mode::wakePhrase ? ensureWakeSearch(error) : ensureDictationSearch(Dictation::full, error);
    if (!ready)
        return false;
    m_mode = mode;
    m_partials = partialResults;
    m_phrase.clear();
    m_lastPartial.clear();
    m_speechSeen = false;
    m_wasInSpeech = false;
    m_decidedThrough = -1;
    m_rivalStart = -1;
    m_framesSinceDetection = 0;
    m_loudness.clear();
    m_sinceStreamStart = 0;
    m_skippingTalk = false;
    m_pause.clear();
    m_listenedSamples = 0;
    m_speechSamples = 0;
    m_spotted.clear();
    m_heard.clear();
    m_pending.clear();
    ps_set_search(m_ps, mode == Mode::wakePhrase ? wakeSearch : dictationSearch);
    // A new stream resets PocketSphinx's frame count, which places a spotted phrase in time.
    ps_start_stream(m_ps);
    ps_start_utt(m_ps);
    m_phase = mode == Mode::wakePhrase ? Phase::spotting : Phase::listening;
    return true;
}

void PocketSphinxDecoder::abandon()
{
    if (m_phase == Phase::idle)
        return;
    ps_end_utt(m_ps);
    m_phase = Phase::idle;
    m_spotted.clear();
    m_heard.clear();
    m_pending.clear();
}

void PocketSphinxDecoder::restartSpotting()
{
    ps_end_utt(m_ps);
    ps_start_stream(m_ps);
    ps_start_utt(m_ps);
    m_spotted.clear();
    m_loudness.clear();
    m_wasInSpeech = false;
    m_decidedThrough = -1;
    m_rivalStart = -1;
    m_framesSinceDetection = 0;
    m_sinceStreamStart = 0;
    m_skippingTalk = false;
    m_pause.clear();
}

bool PocketSphinxDecoder::feed(const qint16 *samples, qsizetype count, QList<RecognitionResult> &results)
{
    // Decoded in whole steps counted from the start of the utterance, however the audio
    // arrives: the same sound then gives the same transcript.
    m_pending.append(reinterpret_cast<const char *>(samples), count * qsizetype(sizeof(qint16)));
    const auto *pending = reinterpret_cast<const qint16 *>(m_pending.constData());
    const qsizetype available = m_pending.size() / qsizetype(sizeof(qint16));
    qsizetype used = 0;
    for (; used + step <= available && m_phase != Phase::idle; used += step)
        decodeStep(pending + used, step, results);
    m_pending.remove(0, used * qsizetype(sizeof(qint16)));
    if (m_phase == Phase::idle)
        m_pending.clear();
    return m_phase == Phase::idle;
}

QString PocketSphinxDecoder::settledPhrase()
{
    const char *hypothesis = ps_get_hyp(m_ps, nullptr);
    if (!hypothesis || !*hypothesis)
        return {};
    // Every phrase reported and not yet decided on: several may fit one stretch of speech.
    struct Candidate
    {
        int keyphrase;
        int end;
        int score; // the phrase against the search's phone loop, comparable between phrases
        int start;
    };
    QList<Candidate> candidates;
    for (ps_seg_t *seg = ps_seg_iter(m_ps); seg; seg = ps_seg_next(seg)) {
        int start = 0;
        int end = 0;
        ps_seg_frames(seg, &start, &end);
        const QByteArray words = QByteArray(ps_seg_word(seg)).simplified();
        const auto known = std::find_if(std::begin(keyphrases), std::end(keyphrases),
                                        [&](const Keyphrase &k) { return words == k.phrase; });
        if (end <= m_decidedThrough || known == std::end(keyphrases))
            continue;
        const int score = ps_seg_prob(seg, nullptr, nullptr, nullptr);
        // Reported a few frames after a name like ours won from the same start ("hey karen",
        // then "hey tarvik" over "hey turn the m..."): another reading of the same words, which
        // must fit them better. Against the phone loop, scores of different lengths compare.
        if (m_rivalStart >= 0 && std::abs(start - m_rivalStart) <= rivalStartSlack && score <= m_rivalScore)
            continue;
        candidates.append({int(known - std::begin(keyphrases)), end, score, start});
    }
    if (candidates.isEmpty())
        return {};
    // Those that fit the same speech are reported within a few frames of each other.
    if (++m_framesSinceDetection <= detectionSettleFrames)
        return {};
    m_framesSinceDetection = 0;
    const Candidate best = *std::max_element(candidates.cbegin(), candidates.cend(),
                                             [](const Candidate &a, const Candidate &b) { return a.score < b.score; });
    for (const Candidate &c : std::as_const(candidates))
        m_decidedThrough = qMax(m_decidedThrough, c.end);
    const Keyphrase &chosen = keyphrases[best.keyphrase];
    m_rivalStart = chosen.wakeWord < 0 ? best.start : -1;
    m_rivalScore = best.score;
    m_phraseFrames = best.end - best.start + 1;
    if (chosen.wakeWord < 0) {
        DebugLog::log(QStringLiteral("Speech: heard \"%1\", not a wake phrase").arg(QLatin1String(chosen.phrase)));
        return {};
    }
    return QString::fromLatin1(wakeWords[chosen.wakeWord].phrase);
}

qsizetype PocketSphinxDecoder::framesAfterPhrase() const
{
    return qsizetype(cmd_ln_int32_r(ps_get_config(m_ps), "-kws_delay")) + frontEndLagFrames + detectionSettleFrames;
}

bool PocketSphinxDecoder::insideTalk(const QString &phrase) const
{
    // Spotting is fed a frame at a time, so the phrase began this many frames ago.
    const qsizetype spottedFrames = m_spotted.size() / qsizetype(sizeof(qint16)) / frameSamples;
    const int talk = m_loudness.speechBefore(spottedFrames - framesAfterPhrase() - m_phraseFrames);
    if (talk <= maxTalkBeforePhraseFrames)
        return false;
    DebugLog::log(QStringLiteral("Speech: heard \"%1\" after %2 s of other talk, not a wake phrase")
                      .arg(phrase, QString::number(talk / 100.0, 'f', 1)));
    return true;
}

bool PocketSphinxDecoder::pastAnyPhrase() const
{
    // A new decoder takes a second look at whole stretches of talk; nor may a detection still
    // wait to be decided on.
    if (m_adaptedSamples < adaptationSamples || m_secondLook || m_framesSinceDetection > 0)
        return false;
    return m_loudness.talk() > maxTalkBeforePhraseFrames + maxPhraseFrames + framesAfterPhrase();
}

QString PocketSphinxDecoder::spotFrame(const qint16 *frame, qsizetype count)
{
    ps_process_raw(m_ps, frame, size_t(count), FALSE, FALSE);
    m_spotted.append(reinterpret_cast<const char *>(frame), count * qsizetype(sizeof(qint16)));
    m_loudness.add(frame, count);
    const QString phrase = settledPhrase();
    return phrase.isEmpty() || insideTalk(phrase) ? QString() : phrase;
}

void PocketSphinxDecoder::skipFrame(const qint16 *frame, qsizetype count)
{
    m_pause.append(reinterpret_cast<const char *>(frame), count * qsizetype(sizeof(qint16)));
    if (!m_loudness.hear(frame, count)) {
        constexpr qsizetype kept = pauseFrames * frameSamples * qsizetype(sizeof(qint16));
        if (m_pause.size() > kept)
            m_pause.remove(0, m_pause.size() - kept);
    } else {
        m_pause.clear();
    }
    if (!m_loudness.pausing())
        return;
    // The search starts afresh on the pause, as it does after any stretch of speech, so that
    // its voice detector meets quiet first.
    const QByteArray pause = std::exchange(m_pause, {});
    restartSpotting();
    const auto *samples = reinterpret_cast<const qint16 *>(pause.constData());
    const qsizetype length = pause.size() / qsizetype(sizeof(qint16));
    for (qsizetype at = 0; at < length; at += frameSamples)
        spotFrame(samples + at, qMin(frameSamples, length - at)); // quiet: nothing to settle on
}

bool PocketSphinxDecoder::Loudness::hear(const qint16 *frame, qsizetype count)
{
    double energy = 0;
    for (qsizetype i = 0; i < count; ++i)
        energy += double(frame[i]) * frame[i];
    const double db = 10 * std::log10(energy / double(qMax<qsizetype>(count, 1)) + 1);
    // The quietest level, drifting up so that a room grown louder is learnt.
    m_floorDb = m_floorDb < 0 ? db : qMin(db, m_floorDb + noiseRisePerFrameDb);
    const bool loud = db > m_floorDb + loudAboveNoiseDb;
    if (loud) {
        ++m_talk;
        m_quiet = 0;
    } else if (++m_quiet >= pauseFrames) {
        m_talk = 0;
    }
    return loud;
}

bool PocketSphinxDecoder::Loudness::pausing() const
{
    return m_quiet >= pauseFrames;
}

void PocketSphinxDecoder::Loudness::clear()
{
    m_loud.clear();
    m_talk = 0;
    m_quiet = 0;
}

int PocketSphinxDecoder::Loudness::speechBefore(qsizetype frame) const
{
    int speech = 0;
    int quiet = 0;
    for (qsizetype i = qMin(frame, qsizetype(m_loud.size())) - 1; i >= 0 && quiet < pauseFrames; --i) {
        if (m_loud[size_t(i)]) {
            ++speech;
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return speech;
}

void PocketSphinxDecoder::decodeStep(const qint16 *samples, qsizetype count, QList<RecognitionResult> &results)
{
    if (m_phase == Phase::spotting)
        spot(samples, count, results); // a phrase switches to listening, the rest replayed
    else if (m_phase == Phase::listening)
        listen(samples, count, results);
}

qsizetype PocketSphinxDecoder::spot(const qint16 *samples, qsizetype count, QList<RecognitionResult> &results)
{
    // Fed a frame at a time, so a phrase is noticed a fixed number of frames after it ended and
    // the replay is the last frames heard. The end frame PocketSphinx gives cannot place it:
    // once its voice detector has dropped silence within the utterance, that number counts the
    // kept frames from where the latest speech began, and lands past the audio (every
    // utterance but a new decoder's first lost the command's first words).
    for (qsizetype at = 0; at < count; at += step) {
        const qsizetype n = qMin(step, count - at);
        QString phrase;
        qsizetype took = 0;
        while (took < n && phrase.isEmpty()) {
            const qsizetype k = qMin(frameSamples, n - took);
            if (m_skippingTalk) {
                skipFrame(samples + at + took, k);
            } else {
                phrase = spotFrame(samples + at + took, k);
                m_skippingTalk = phrase.isEmpty() && pastAnyPhrase();
            }
            took += k;
        }
        if (m_skippingTalk)
            continue;

        if (!phrase.isEmpty()) {
            // The words said since the phrase ended are the start of the command, so they are
            // decoded again as dictation, with the rest of this step.
            const qsizetype since = framesAfterPhrase() * frameSamples;
            const qsizetype spottedSamples = m_spotted.size() / qsizetype(sizeof(qint16));
            QByteArray replay = m_spotted.right(qMin(since, spottedSamples) * qsizetype(sizeof(qint16)));
            replay.append(reinterpret_cast<const char *>(samples + at + took), (n - took) * qsizetype(sizeof(qint16)));
            m_spotted.clear();

            ps_end_utt(m_ps);
            QString error;
            if (!ensureDictationSearch(Dictation::command, &error)) {
                // Without dictation the phrase alone is the transcript.
                m_phrase = phrase;
                m_phase = Phase::idle;
                results.append({m_phrase, true});
                return count;
            }
            ps_set_search(m_ps, commandSearch);
            ps_start_utt(m_ps);
            m_phase = Phase::listening;
            m_phrase = phrase;
            m_speechSeen = false;
            m_listenedSamples = 0;
            m_speechSamples = 0;
            m_lastPartial = m_phrase;
            if (m_partials)
                results.append({m_phrase, false});
            if (!replay.isEmpty()
                && listen(reinterpret_cast<const qint16 *>(replay.constData()), replay.size() / qsizetype(sizeof(qint16)), results))
                return count; // the utterance ended within the replay
            return at + n;
        }

        // A pause ends a stretch of speech that held no phrase: start afresh, which also
        // bounds the audio kept for a replay.
        m_sinceStreamStart += n;
        // Left alone, the detector's false end of speech would restart the search every second
        // or so through a pause, and one restart would cut into the next phrase.
        const bool inSpeech = m_sinceStreamStart >= vadSettleSamples && ps_get_in_speech(m_ps);
        if (m_wasInSpeech && !inSpeech) {
            const QByteArray stretch = m_spotted;
            restartSpotting(); // ending the utterance updates the cepstral mean
            // A new decoder starts from the model's average cepstral mean, which may be far
            // from this microphone's: it can miss a phrase in its first speech. A second look
            // at that speech, with the mean now adapted, finds it.
            if (!m_secondLook && m_adaptedSamples < adaptationSamples) {
                m_adaptedSamples += stretch.size() / qsizetype(sizeof(qint16));
                m_secondLook = true;
                const auto *again = reinterpret_cast<const qint16 *>(stretch.constData());
                const qsizetype length = stretch.size() / qsizetype(sizeof(qint16));
                const qsizetype used = spot(again, length, results);
                if (m_phase == Phase::listening && used < length)
                    listen(again + used, length - used, results);
                m_secondLook = false;
                if (m_phase != Phase::spotting)
                    return at + n;
            }
        } else if (m_spotted.size() > maxSpottingSamples * qsizetype(sizeof(qint16))) {
            restartSpotting();
        } else {
            m_wasInSpeech = inSpeech;
        }
    }
    return count;
}

bool PocketSphinxDecoder::listen(const qint16 *samples, qsizetype count, QList<RecognitionResult> &results)
{
    for (qsizetype at = 0; at < count; at += step) {
        const qsizetype n = qMin(step, count - at);
        ps_process_raw(m_ps, samples + at, size_t(n), FALSE, FALSE);
        m_listenedSamples += n;
        const bool inSpeech = ps_get_in_speech(m_ps);
        if (inSpeech)
            m_speechSeen = true;
        if (m_speechSeen)
            m_speechSamples += n;
        if (m_adaptedSamples < adaptationSamples) { // kept for a second look (endUtterance)
            m_heard.append(reinterpret_cast<const char *>(samples + at), n * qsizetype(sizeof(qint16)));
            if (!m_speechSeen && m_heard.size() > preRollSamples * qsizetype(sizeof(qint16)))
                m_heard.remove(0, m_heard.size() - preRollSamples * qsizetype(sizeof(qint16)));
        }

        const bool paused = m_speechSeen && !inSpeech;
        const bool phraseAlone = m_mode == Mode::wakePhrase && !m_speechSeen && m_listenedSamples >= commandWaitSamples;
        const bool tooLong = m_speechSamples >= maxSpeechSamples;
        if (paused || phraseAlone || tooLong) {
            RecognitionResult result = endUtterance();
            if (result.bestTranscription.isEmpty() && !tooLong) {
                // A noise without words (a cough, a click): go on listening for speech.
                ps_start_utt(m_ps);
                m_phase = Phase::listening;
                m_speechSeen = false;
                m_speechSamples = 0;
                m_heard.clear();
                continue;
            }
            results.append(result);
            return true;
        }
        if (m_partials && m_speechSeen) {
            const QString text = transcript(ps_get_hyp(m_ps, nullptr));
            if (!text.isEmpty() && text != m_lastPartial) {
                m_lastPartial = text;
                results.append({text, false});
            }
        }
    }
    return false;
}

QString PocketSphinxDecoder::transcript(const char *hypothesis) const
{
    const QString words = QString::fromUtf8(hypothesis ? hypothesis : "").simplified();
    if (m_phrase.isEmpty())
        return words;
    return words.isEmpty() ? m_phrase : m_phrase + QLatin1Char(' ') + words;
}

RecognitionResult PocketSphinxDecoder::endUtterance()
{
    // The final hypothesis comes from PocketSphinx's later passes over the whole utterance.
    ps_end_utt(m_ps);
    m_phase = Phase::idle;
    const char *hypothesis = ps_get_hyp(m_ps, nullptr);
    QString text = transcript(hypothesis);
    const qsizetype heard = m_heard.size() / qsizetype(sizeof(qint16));
    if (m_adaptedSamples < adaptationSamples && heard > 0 && hypothesis && *hypothesis) {
        // A new decoder's first words are heard with the model's average cepstral mean, which
        // can be far from this microphone's; ending the utterance adapted it, so once, early
        // in the decoder's life, the words are decoded again with it.
        m_adaptedSamples += heard;
        ps_start_utt(m_ps);
        ps_process_raw(m_ps, reinterpret_cast<const qint16 *>(m_heard.constData()), size_t(heard), FALSE, FALSE);
        ps_end_utt(m_ps);
        const char *again = ps_get_hyp(m_ps, nullptr);
        if (again && *again)
            text = transcript(again);
    }
    m_heard.clear();
    return {text, true};
}

std::optional<RecognitionResult> PocketSphinxDecoder::finish()
{
    QList<RecognitionResult> ignored; // the final one is returned
    if (m_phase != Phase::idle && !m_pending.isEmpty()) {
        const QByteArray rest = std::exchange(m_pending, {});
        decodeStep(reinterpret_cast<const qint16 *>(rest.constData()), rest.size() / qsizetype(sizeof(qint16)), ignored);
        if (!ignored.isEmpty() && ignored.last().isFinal)
            return ignored.last();
    }
    switch (m_phase) {
    case Phase::idle:
        return std::nullopt;
    case Phase::spotting:
        abandon();
        return std::nullopt;
    case Phase::listening: {
        RecognitionResult result = endUtterance();
        if (result.bestTranscription.isEmpty())
            return std::nullopt;
        return result;
    }
    }
    return std::nullopt;
}
