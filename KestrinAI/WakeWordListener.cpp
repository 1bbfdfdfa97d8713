#include "WakeWordListener.h"

#include "AudioEngine.h"
#include "DebugLog.h"
#include "MicrophoneAudioEngine.h"
#include "Permissions.h"
#include "RecognitionRequest.h"
#include "RecognitionTask.h"
#include "SettingsStore.h"
#include "SpeechRecognizer.h"

#include <QPointer>

using namespace std::chrono;

namespace {

constexpr int tapFrames = 2048;

bool isTrimmed(QChar c)
{
    return c.isSpace() || c == u',' || c == u'.' || c == u'!' || c == u'?';
}

} // namespace

WakeWordListener::WakeWordListener(QObject *parent)
    : WakeWordListener(std::make_unique<MicrophoneAudioEngine>(),
                       [](const QString &locale) { return SpeechRecognizer::create(locale); }, {}, {}, parent)
{
}

WakeWordListener::WakeWordListener(std::unique_ptr<AudioEngine> audioEngine, RecognizerFactory recognizerFactory,
                                   Timing timing, Clock clock, QObject *parent)
    : QObject(parent)
    , m_audioEngine(std::move(audioEngine))
    , m_recognizerFactory(std::move(recognizerFactory))
    , m_timing(timing)
    , m_clock(clock ? std::move(clock) : Clock([] { return steady_clock::now(); }))
{
    m_audioEngine->setParent(nullptr); // owned here, through the unique_ptr
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, [this] {
        if (m_settleGeneration == m_generation)
            processSettledUtterance(m_settleText, m_settleGeneration);
    });
}

WakeWordListener::~WakeWordListener()
{
    stop();
    m_task.reset();
}

QString WakeWordListener::trimmedCommand(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimmed(text.at(begin)))
        ++begin;
    while (end > begin && isTrimmed(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

std::optional<WakeWord> WakeWordListener::pendingWakeWord() const
{
    return m_pending ? std::optional<WakeWord>(m_pending->word) : std::nullopt;
}

bool WakeWordListener::start()
{
    if (m_isActive)
        return true;
    if (Permissions::voice() != PermissionState::granted) {
        DebugLog::log(QStringLiteral("Wake words are off: microphone and speech access not granted"));
        return false;
    }
    beginSession();
    return true;
}

void WakeWordListener::beginSession()
{
    if (!m_recognizer)
        m_recognizer = m_recognizerFactory(QStringLiteral("en-US"));
    if (!m_recognizer || !m_recognizer->isAvailable()) {
        DebugLog::log(QStringLiteral("WakeWordListener.beginSession: recognizer unavailable"));
        return;
    }
    setActive(true);
    DebugLog::log(QStringLiteral("WakeWordListener session began"));
    if (!m_audioEngine->isRunning()) {
        m_audioEngine->installTap(tapFrames, [this](const QAudioBuffer &buffer) {
            // The engine is ours and removes the tap before it goes: this outlives every call.
            std::shared_ptr<RecognitionRequest> request;
            {
                const std::lock_guard lock(m_tapMutex);
                request = m_tapRequest;
            }
            if (request)
                request->append(buffer);
        });
        m_audioEngine->prepare();
        m_audioEngine->start(); // a failure leaves the runs without sound, nothing more
    }
    startRecognitionRequest(m_generation);
}

void WakeWordListener::startRecognitionRequest(qint64 generation)
{
    // The command after a bare phrase has no phrase of its own: it is plain dictation.
    auto request = std::make_shared<RecognitionRequest>(m_pending ? RecognitionRequest::Mode::dictation
                                                                  : RecognitionRequest::Mode::wakePhrase);
    request->setShouldReportPartialResults(true);
    m_request = request;
    setTapRequest(request);
    m_lastSessionStart = steady_clock::now();
    m_task = m_recognizer->recognitionTask(
        request, [self = QPointer(this), generation](const std::optional<RecognitionResult> &result,
                                                     const std::optional<RecognitionError> &error) {
            if (!self || generation != self->m_generation)
                return;
            if (result)
                self->handleTranscript(result->bestTranscription, generation, result->isFinal);
            if (!self)
                return;
            if (error)
                DebugLog::log(QStringLiteral("WakeWordListener task error: ") + error->description);
            if (error || (result && result->isFinal))
                self->scheduleRestart(generation);
        });
    emit runStarted(generation);
}

void WakeWordListener::handleTranscript(const QString &text, qint64 generation, bool isFinal)
{
    m_settleTimer.stop();
    if (isFinal && !text.trimmed().isEmpty()) {
        // The recognizer heard the pause already: the utterance has settled.
        processSettledUtterance(text, generation);
        return;
    }
    m_settleText = text;
    m_settleGeneration = generation;
    m_settleTimer.start(m_timing.settle);
}

void WakeWordListener::processSettledUtterance(const QString &text, qint64 generation)
{
    m_settleTimer.stop();
    DebugLog::log(QStringLiteral("WakeWordListener heard: \"%1\"").arg(text));
    const QString lower = text.toLower();

    if (m_pending) {
        const Pending pending = *m_pending;
        const double elapsed = duration<double>(m_clock() - pending.since).count();
        const double timeout = SettingsStore::shared()->wakeWordCommandTimeout();
        m_pending.reset();
        if (elapsed <= timeout) {
            const QString command = trimmedCommand(lower);
            if (command.isEmpty()) {
                m_pending = pending;
                scheduleRestart(generation);
                return;
            }
            // The whole utterance is the command, wake phrases and all.
            DebugLog::log(QStringLiteral("WakeWordListener MATCHED %1 (pending) command=\"%2\"").arg(pending.word.rawValue(), command));
            QPointer self(this);
            if (onWake)
                onWake(pending.word, command);
            if (self)
                scheduleRestart(generation);
            return;
        }
        DebugLog::log(QStringLiteral("WakeWordListener gave up waiting for a command after %1").arg(pending.word.rawValue()));
        QPointer self(this);
        if (onWakeWordGaveUp)
            onWakeWordGaveUp();
        if (!self)
            return;
    }

    // The phrase that starts latest wins; at the same place, the earlier word.
    std::optional<WakeWord> chosen;
    qsizetype chosenAt = -1;
    for (const WakeWord word : WakeWord::allCases()) {
        const qsizetype at = lower.indexOf(word.phrase());
        if (at >= 0 && at > chosenAt) {
            chosen = word;
            chosenAt = at;
        }
    }
    QPointer self(this);
    if (chosen) {
        const QString command = trimmedCommand(lower.mid(chosenAt + chosen->phrase().size()));
        if (!command.isEmpty()) {
            DebugLog::log(QStringLiteral("WakeWordListener MATCHED %1 command=\"%2\"").arg(chosen->rawValue(), command));
            if (onWake)
                onWake(*chosen, command);
        } else {
            DebugLog::log(QStringLiteral("WakeWordListener heard %1 with no command yet \u2014 will treat the next utterance as the command")
                              .arg(chosen->rawValue()));
            m_pending = Pending{*chosen, m_clock()};
            if (onWakeWordHeard)
                onWakeWordHeard(*chosen);
        }
    }
    if (self) // a callback that stopped the listener also prevents the restart
        scheduleRestart(generation);
}

void WakeWordListener::scheduleRestart(qint64 currentGeneration)
{
    if (!m_isActive || currentGeneration != m_generation)
        return;
    const qint64 next = ++m_generation;
    if (m_task)
        m_task->cancel();
    if (m_request)
        m_request->endAudio();
    const auto sinceStart = duration_cast<milliseconds>(steady_clock::now() - m_lastSessionStart);
    const milliseconds delay = std::max(milliseconds(0), m_timing.minRestartInterval - sinceStart);
    QTimer::singleShot(delay, this, [this, next] {
        if (!m_isActive || m_generation != next || !m_recognizer)
            return;
        // A model that failed to load fails every run at once: stop rather than retry forever.
        if (!m_recognizer->isAvailable()) {
            DebugLog::log(QStringLiteral("WakeWordListener stopped: speech recognition is unavailable"));
            stop();
            return;
        }
        startRecognitionRequest(next);
    });
}

void WakeWordListener::stop()
{
    if (!m_isActive)
        return;
    setActive(false);
    ++m_generation;
    m_pending.reset();
    m_settleTimer.stop();
    if (m_task)
        m_task->cancel();
    if (m_request)
        m_request->endAudio();
    m_task.reset();
    m_request.reset();
    setTapRequest(nullptr);
    if (m_audioEngine->isRunning()) {
        m_audioEngine->stop();
        m_audioEngine->removeTap();
    }
}

void WakeWordListener::endOfInput()
{
    if (m_isActive && m_request)
        m_request->endAudio();
}

void WakeWordListener::setActive(bool active)
{
    if (active == m_isActive)
        return;
    m_isActive = active;
    emit isActiveChanged();
}

void WakeWordListener::setTapRequest(std::shared_ptr<RecognitionRequest> request)
{
    const std::lock_guard lock(m_tapMutex);
    m_tapRequest = std::move(request);
}
