#pragma once

#include <QAudioBuffer>
#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

/// The audio of one recognition task, streamed in while the task runs.
///
/// Made with std::make_shared and shared by whoever feeds it (typically an audio engine's tap)
/// and the recognizer, which reads it on its own thread. append() and endAudio() may be called
/// from any thread. One request serves one task; once its task has ended, or after endAudio(),
/// further audio is ignored.
class RecognitionRequest
{
public:
    enum class Mode {
        /// Open dictation: the transcript of one utterance, ending when the speaker pauses.
        dictation,
        /// Keyword spotting of the wake phrases ("hey oryn", "hey tarvik", "hey kestrin") until
        /// one is heard, then open dictation for the rest of that utterance: the transcript is
        /// "hey <name> <command words>". Nothing is reported for speech without a wake phrase.
        /// (A command awaited after a bare wake phrase is an ordinary dictation.)
        wakePhrase,
    };

    explicit RecognitionRequest(Mode mode = Mode::dictation);

    Mode mode() const { return m_mode; }

    /// Partial results (on by default) while the speaker talks; set before the task starts.
    bool shouldReportPartialResults() const { return m_partials; }
    void setShouldReportPartialResults(bool on) { m_partials = on; }

    /// Adds audio: 16 kHz mono signed 16-bit (AudioEngine::inputFormat()); a buffer in another
    /// format is dropped. Any thread.
    void append(const QAudioBuffer &buffer);
    /// The same for bare samples in that format, native byte order.
    void appendSamples(const QByteArray &samples);
    /// No more audio will come; the task finishes with what it has. Any thread.
    void endAudio();
    bool isAudioEnded() const;

private:
    friend class SpeechRecognizer;
    friend class RecognitionTask;

    struct Audio
    {
        QByteArray samples;
        bool ended = false;
        bool interrupted = false;
    };

    /// Recognizer thread: waits until audio is there, the audio has ended, or @p interrupted
    /// (checked whenever wake() is called) turns true; takes what is waiting.
    Audio takeAudio(const std::function<bool()> &interrupted);
    /// Wakes a waiting takeAudio() so it checks its interruption again.
    void wake();
    /// The task is over: drop what is buffered and ignore later audio.
    void close();

    const Mode m_mode;
    std::atomic<bool> m_partials = true;

    mutable std::mutex m_mutex;
    std::condition_variable m_condition;
    std::deque<QByteArray> m_chunks;
    qsizetype m_bufferedBytes = 0;
    bool m_ended = false;
    bool m_closed = false;
    bool m_dropLogged = false;
};
