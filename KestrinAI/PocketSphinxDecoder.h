#pragma once

#include "RecognitionRequest.h"
#include "RecognitionResult.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

struct ps_decoder_s;

/// PocketSphinx 0.8 behind SpeechRecognizer: one decoder and the utterance being decoded.
/// Not thread-safe: the recognizer uses it from its worker thread only.
///
/// Loading is staged to keep memory low: the acoustic model and the dictionary (about 30 MB)
/// at create(); the wake-phrase search (about 1 MB) with the first wake-phrase utterance; the
/// language model of open dictation (about 65 MB) with the first utterance that needs it,
/// which in wake-phrase mode is the first one in which a phrase is heard. Commands after a
/// phrase are dictated by a search of their own on the same language model, without the
/// second pass dictation makes over a finished utterance.
///
/// An utterance runs from begin() until feed() reports its end (the speaker paused, as
/// PocketSphinx's voice activity detection sees it) or finish() is called at the end of the
/// audio. In wake-phrase mode the keyword search runs over any number of stretches of speech
/// until a phrase is heard; the decoder then switches to open dictation, replays the audio
/// heard since the phrase ended, and goes on until the pause. Transcripts in that mode are
/// "<phrase> <dictated words>". The keyword search listens for each phrase in the ways its name
/// is often said ("oryn" also as "are-in", and with the glide after "hey") and for names that
/// sound like ours ("hey erin"); where several fit the same speech, the best fit is taken, and
/// a name that is not ours wakes nothing.
///
/// Audio is decoded in steps of 100 ms counted from the start of the utterance, however it
/// is handed in, so the same sound always gives the same transcript. A new decoder knows
/// nothing of the microphone yet: the first few seconds of speech it hears are decoded a
/// second time once ending the utterance has adapted its cepstral mean.
///
/// A wake phrase begins what is said: one heard after more than 0.7 s of talk without a pause
/// is taken for a part of that talk, where ordinary sentences fit a phrase now and then. So
/// once talk has gone on longer than that and the longest phrase, the keyword search, which
/// costs nearly all of the listener's time, waits for the next pause.
///
/// The model is trusted as the package installs it: PocketSphinx ends the process on a
/// malformed model file.
class PocketSphinxDecoder
{
public:
    using Mode = RecognitionRequest::Mode;

    /// The phrases spotted in wake-phrase mode, in order: "hey oryn", "hey tarvik", "hey kestrin".
    static const QStringList &wakePhrases();

    /// Nothing when the model in @p modelFolder cannot be loaded; the reason goes to @p error.
    static std::unique_ptr<PocketSphinxDecoder> create(const QString &modelFolder, QString *error = nullptr);
    ~PocketSphinxDecoder();

    /// Starts an utterance, abandoning any unfinished one. False when the mode's search
    /// cannot be loaded.
    bool begin(Mode mode, bool partialResults, QString *error = nullptr);
    /// Decodes 16 kHz mono 16-bit samples, appending new partial transcripts and, at the end
    /// of the utterance, the final one to @p results. True once the utterance has ended; the
    /// samples after its end are not used.
    bool feed(const qint16 *samples, qsizetype count, QList<RecognitionResult> &results);
    /// The audio is over: the final transcript, or nothing when nothing was recognized (in
    /// wake-phrase mode: no phrase was heard).
    std::optional<RecognitionResult> finish();
    /// Drops the utterance without a result.
    void abandon();

private:
    enum class Phase { idle, spotting, listening };

    /// Frame by frame, whether the spotted audio was loud enough to be speech, against the
    /// quietest level heard lately (the room's noise).
    class Loudness
    {
    public:
        /// Takes in the next frame without keeping it; true when it is speech.
        bool hear(const qint16 *frame, qsizetype count);
        void add(const qint16 *frame, qsizetype count) { m_loud.push_back(hear(frame, count)); }
        void clear(); // the frames; the room's level is kept
        /// Frames of speech before @p frame, back to the last pause.
        int speechBefore(qsizetype frame) const;
        /// Frames of speech since the last pause, up to the latest frame heard.
        int talk() const { return m_talk; }
        /// The latest frames heard are a pause.
        bool pausing() const;

    private:
        std::vector<bool> m_loud;
        double m_floorDb = -1; // none yet
        int m_talk = 0;
        int m_quiet = 0; // frames since the last speech
    };

    explicit PocketSphinxDecoder(const QString &modelFolder);
    bool ensureWakeSearch(QString *error);
    enum class Dictation { full, command };
    bool ensureDictationSearch(Dictation kind, QString *error);
    void restartSpotting();
    /// Spotting: returns how many of the samples it took. When a phrase is heard it takes the
    /// step that held it (what followed the phrase is replayed) and the decoder is listening.
    qsizetype spot(const qint16 *samples, qsizetype count, QList<RecognitionResult> &results);
    /// The wake phrase the keyword search heard, once every phrase that fits the same speech
    /// has been reported and the best fit is one of ours; empty until then.
    QString settledPhrase();
    /// Frames from the end of a phrase to when it is decided on.
    qsizetype framesAfterPhrase() const;
    /// The phrase just decided on came after too much talk to be a call.
    bool insideTalk(const QString &phrase) const;
    /// So far into talk that no phrase can begin or still be under way before the next pause.
    bool pastAnyPhrase() const;
    /// One frame to the keyword search: the phrase it settled on, if any.
    QString spotFrame(const qint16 *frame, qsizetype count);
    /// Skipping talk: one frame, listened to for the pause that ends it.
    void skipFrame(const qint16 *frame, qsizetype count);
    void decodeStep(const qint16 *samples, qsizetype count, QList<RecognitionResult> &results);
    bool listen(const qint16 *samples, qsizetype count, QList<RecognitionResult> &results);
    QString transcript(const char *hypothesis) const;
    RecognitionResult endUtterance();

    const QString m_modelFolder;
    ps_decoder_s *m_ps = nullptr;
    bool m_hasWakeSearch = false;

    Phase m_phase = Phase::idle;
    Mode m_mode = Mode::dictation;
    bool m_partials = true;
    QString m_phrase;          // the wake phrase heard in this utterance
    QByteArray m_spotted;      // samples since the keyword search's stream began, for the replay
    bool m_wasInSpeech = false;
    int m_decidedThrough = -1;       // the last frame of the detections already decided on
    // The name like ours that won the last decision: where it began and how well it fitted.
    int m_rivalStart = -1;
    int m_rivalScore = 0;
    int m_framesSinceDetection = 0;  // frames heard since an undecided detection was reported
    int m_phraseFrames = 0;          // how long the phrase last decided on lasted
    Loudness m_loudness;             // of m_spotted
    qsizetype m_sinceStreamStart = 0; // samples spotted since the stream began
    bool m_speechSeen = false; // listening: the voice activity detection has heard speech
    qint64 m_listenedSamples = 0;
    qint64 m_speechSamples = 0;
    QString m_lastPartial;
    QByteArray m_pending;        // samples short of a whole step
    QByteArray m_heard;          // listening: the utterance so far, for a second look
    qint64 m_adaptedSamples = 0; // speech the decoder has adapted to in its life
    bool m_secondLook = false;   // spotting a stretch again
    bool m_skippingTalk = false; // spotting: the search waits for the pause that ends this talk
    QByteArray m_pause;          // skipping: the latest quiet audio, where the search resumes
};
