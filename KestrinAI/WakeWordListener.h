#pragma once

#include "WakeWord.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class AudioEngine;
class RecognitionRequest;
class RecognitionTask;
class SpeechRecognizer;

/// The listener's waits; tests shorten them.
struct WakeWordTiming
{
    std::chrono::milliseconds settle{1100};             // after the latest partial transcript
    std::chrono::milliseconds minRestartInterval{1500}; // between the starts of two runs
};

/// Listens all the time for "hey oryn", "hey tarvik" and "hey kestrin" and the command that
/// follows, on the device. Each recognition run covers one utterance; when it settles, the
/// phrase is looked for and the words after it are the command. A bare phrase opens a window
/// (SettingsStore's wakeWordCommandTimeout) in which the next utterance is the command.
///
/// A generation number guards every timer, recognition callback and delayed restart: one that
/// belongs to a run that has been replaced does nothing.
///
/// The recognizer here marks the end of an utterance itself (its final result comes when the
/// speaker pauses), so a final result with words settles the utterance at once instead of
/// after the settle time; partial results still re-arm the settle timer, which settles speech
/// that never pauses. While the command window is open the run is plain dictation, because the
/// command carries no wake phrase; otherwise it spots the phrases.
///
/// Thread: main. The audio tap runs on the capture thread and only feeds the current request.
class WakeWordListener : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isActive READ isActive NOTIFY isActiveChanged)

public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using RecognizerFactory = std::function<std::unique_ptr<SpeechRecognizer>(const QString &locale)>;

    using Timing = WakeWordTiming;

    /// The microphone and the on-device recognizer.
    explicit WakeWordListener(QObject *parent = nullptr);
    /// With other parts (tests): a clock for the command window.
    WakeWordListener(std::unique_ptr<AudioEngine> audioEngine, RecognizerFactory recognizerFactory,
                     Timing timing = {}, Clock clock = {}, QObject *parent = nullptr);
    ~WakeWordListener() override;

    /// True when already listening, or when access is granted (a run is then begun, even if
    /// it cannot start); false without microphone and speech access.
    bool start();
    void stop();
    /// The sound has ended for good (a file played to its end): the current run finishes with
    /// what it heard instead of waiting for a pause. Does nothing between runs.
    void endOfInput();
    bool isActive() const { return m_isActive; }

    std::function<void(WakeWord word, const QString &command)> onWake;
    std::function<void(WakeWord word)> onWakeWordHeard;
    std::function<void()> onWakeWordGaveUp;

    /// Examines one settled utterance (exposed for tests; @p generation must be current).
    void processSettledUtterance(const QString &text, qint64 generation);
    qint64 generation() const { return m_generation; }
    std::optional<WakeWord> pendingWakeWord() const;
    AudioEngine *audioEngine() const { return m_audioEngine.get(); }

    /// The command as handed on: white space, line breaks and ",.!?" trimmed at both ends.
    static QString trimmedCommand(const QString &text);

signals:
    void isActiveChanged();
    /// A recognition run of this generation began listening.
    void runStarted(qint64 generation);

private:
    struct Pending
    {
        WakeWord word;
        std::chrono::steady_clock::time_point since;
    };

    void beginSession();
    void startRecognitionRequest(qint64 generation);
    void handleTranscript(const QString &text, qint64 generation, bool isFinal);
    void scheduleRestart(qint64 currentGeneration);
    void setActive(bool active);
    void setTapRequest(std::shared_ptr<RecognitionRequest> request);

    std::unique_ptr<AudioEngine> m_audioEngine;
    RecognizerFactory m_recognizerFactory;
    Timing m_timing;
    Clock m_clock;

    bool m_isActive = false;
    std::unique_ptr<SpeechRecognizer> m_recognizer;
    std::shared_ptr<RecognitionRequest> m_request;
    std::unique_ptr<RecognitionTask> m_task;
    QTimer m_settleTimer;
    QString m_settleText;
    qint64 m_settleGeneration = 0;
    qint64 m_generation = 0;
    std::chrono::steady_clock::time_point m_lastSessionStart{};
    std::optional<Pending> m_pending;

    std::mutex m_tapMutex; // the request the capture thread feeds
    std::shared_ptr<RecognitionRequest> m_tapRequest;
};
