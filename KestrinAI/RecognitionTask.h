#pragma once

#include "RecognitionError.h"
#include "RecognitionRequest.h"
#include "RecognitionResult.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

/// One recognition in progress, made by SpeechRecognizer::recognitionTask() and owned by the
/// caller. Destroying it cancels it.
///
/// Its handler is called on the thread that started the task (the main thread), any number of
/// times with a result (partial, then one final) or once with an error; after a final result
/// or an error it is not called again. cancel() stops the recognition, and from the moment it
/// is called the handler is never called again, even for results already on their way. The
/// handler may cancel or destroy the task.
class RecognitionTask : public QObject
{
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY stateChanged)

public:
    /// Exactly one of the two is set.
    using Handler = std::function<void(const std::optional<RecognitionResult> &result,
                                       const std::optional<RecognitionError> &error)>;

    enum class State {
        running,
        /// A final result or an error was delivered.
        completed,
        cancelled,
    };
    Q_ENUM(State)

    ~RecognitionTask() override;

    State state() const { return m_state; }
    /// Stops the task; does nothing once it has completed or been cancelled.
    void cancel();

signals:
    void stateChanged(RecognitionTask::State state);

private:
    friend class SpeechRecognizer;

    /// What the recognizer's thread shares with the task.
    struct Control
    {
        std::shared_ptr<RecognitionRequest> request;
        std::atomic<bool> cancelled = false;
        RecognitionTask *task = nullptr; // main thread only; cleared when the task goes
    };

    RecognitionTask(std::shared_ptr<Control> control, Handler handler);
    void deliver(const std::optional<RecognitionResult> &result, const std::optional<RecognitionError> &error);
    void setState(State state);

    std::shared_ptr<Control> m_control;
    std::shared_ptr<const Handler> m_handler; // held by each call, so the handler may delete the task
    State m_state = State::running;
};
