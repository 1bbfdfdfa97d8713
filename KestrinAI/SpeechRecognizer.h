#pragma once

#include "RecognitionRequest.h"
#include "RecognitionTask.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class PocketSphinxDecoder;

/// The on-device speech recognizer (US English, PocketSphinx). Audio never leaves the machine.
///
/// Use: make a RecognitionRequest, start a task with recognitionTask(), feed the request
/// (usually from an AudioEngine tap), and receive transcripts in the task's handler. A task
/// covers one utterance: its final result comes when the speaker pauses (or when the request's
/// audio ends), with partial results before it while the speaker talks.
///
/// Threads: the recognizer and its tasks belong to the thread that created them (the main
/// thread), where the handlers are called. Decoding happens on the recognizer's own worker
/// thread, one task at a time in the order they were started: a task starts decoding when the
/// one before it has finished or been cancelled, its audio buffered meanwhile.
///
/// Memory: the decoder is made on the worker with the first task, not at create(); see
/// PocketSphinxDecoder for what each mode loads. Each recognizer has its own decoder, so the
/// wake-word listener and dictation each keep one.
class SpeechRecognizer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool available READ isAvailable NOTIFY availableChanged)

public:
    /// A recognizer for @p locale ("en-US"; "en_US" is accepted too), or nothing for any other
    /// locale or when the model files are not installed.
    static std::unique_ptr<SpeechRecognizer> create(const QString &locale);
    /// The same with the model read from @p modelFolder (laid out as the Debian package's).
    static std::unique_ptr<SpeechRecognizer> create(const QString &locale, const QString &modelFolder);

    /// Where the Debian package pocketsphinx-en-us installs the US English model.
    static QString defaultModelFolder();
    /// The acoustic model, dictionary and language model are all there.
    static bool isModelInstalled(const QString &modelFolder = defaultModelFolder());
    /// The phrases of RecognitionRequest::Mode::wakePhrase: "hey oryn", "hey tarvik", "hey kestrin".
    static const QStringList &wakePhrases();

    ~SpeechRecognizer() override;

    /// False once the model failed to load; tasks then end at once with an error.
    bool isAvailable() const { return m_available; }

    /// Starts recognizing @p request's audio. The task is the caller's; see RecognitionTask for
    /// how @p handler is called.
    std::unique_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionTask::Handler handler);

signals:
    void availableChanged(bool available);

private:
    using Control = RecognitionTask::Control;

    explicit SpeechRecognizer(const QString &modelFolder);

    // Worker thread.
    void run();
    void decode(const std::shared_ptr<Control> &control);
    void post(const std::shared_ptr<Control> &control, const std::optional<RecognitionResult> &result,
              const std::optional<RecognitionError> &error);

    const QString m_modelFolder;
    bool m_available = true;

    std::thread m_worker;
    std::mutex m_queueMutex;
    std::condition_variable m_queueCondition;
    std::deque<std::shared_ptr<Control>> m_queue;
    std::shared_ptr<Control> m_current; // the task being decoded, under m_queueMutex
    std::atomic<bool> m_stopping = false;
    std::unique_ptr<PocketSphinxDecoder> m_decoder; // worker thread only
    bool m_decoderFailed = false;                   // worker thread only
};
