#include "RecognitionTask.h"

#include <QPointer>

RecognitionTask::RecognitionTask(std::shared_ptr<Control> control, Handler handler)
    : m_control(std::move(control))
    , m_handler(std::make_shared<const Handler>(std::move(handler)))
{
    m_control->task = this;
}

RecognitionTask::~RecognitionTask()
{
    m_control->task = nullptr;
    if (m_state == State::running) {
        m_control->cancelled = true;
        m_control->request->wake();
    }
}

void RecognitionTask::cancel()
{
    if (m_state != State::running)
        return;
    m_control->cancelled = true;
    m_control->request->wake();
    setState(State::cancelled);
}

void RecognitionTask::deliver(const std::optional<RecognitionResult> &result,
                              const std::optional<RecognitionError> &error)
{
    if (m_state != State::running)
        return;
    const bool last = error || (result && result->isFinal);
    if (last)
        m_state = State::completed; // before the handler, which may start the next task
    const std::shared_ptr<const Handler> handler = m_handler;
    const QPointer<RecognitionTask> self(this);
    if (*handler)
        (*handler)(result, error);
    if (last && self)
        emit stateChanged(m_state);
}

void RecognitionTask::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}
