#include "SpeechManager.h"

#include "AudioEngine.h"
#include "MicrophoneAudioEngine.h"
#include "Permissions.h"
#include "RecognitionRequest.h"
#include "RecognitionTask.h"
#include "SpeechOutput.h"
#include "SpeechRecognizer.h"

#include <QPointer>

namespace {
constexpr int tapFrames = 1024;
const QString locale = QStringLiteral("en-US");
} // namespace

SpeechManager::SpeechManager(QObject *parent)
    : SpeechManager(std::make_unique<MicrophoneAudioEngine>(),
                    [](const QString &l) { return SpeechRecognizer::create(l); }, new SpeechOutput, parent)
{
}

SpeechManager::SpeechManager(std::unique_ptr<AudioEngine> audioEngine, RecognizerFactory recognizerFactory,
                             SpeechOutput *output, QObject *parent)
    : QObject(parent)
    , m_audioEngine(std::move(audioEngine))
    , m_recognizerFactory(std::move(recognizerFactory))
    , m_output(output)
{
    m_output->setParent(this);
    connect(m_output, &SpeechOutput::isSpeakingChanged, this, &SpeechManager::isSpeakingChanged);
}

SpeechManager::~SpeechManager()
{
    // The tap holds the request, not this object, but capture must stop before the parts go.
    m_audioEngine->stop();
    m_audioEngine->removeTap();
}

void SpeechManager::requestPermissions(QObject *context, std::function<void(bool)> completion)
{
    Permissions::requestVoice(context, std::move(completion));
}

void SpeechManager::startListening(std::function<void(const QString &)> onFinal)
{
    if (!m_recognizer)
        m_recognizer = m_recognizerFactory(locale);
    if (m_audioEngine->isRunning() || !m_recognizer || !m_recognizer->isAvailable())
        return;

    auto request = std::make_shared<RecognitionRequest>(RecognitionRequest::Mode::dictation);
    request->setShouldReportPartialResults(true);
    m_request = request;
    QPointer<SpeechManager> self(this);
    m_task = m_recognizer->recognitionTask(
        request, [self, onFinal = std::move(onFinal)](const std::optional<RecognitionResult> &result,
                                                      const std::optional<RecognitionError> &error) {
            if (!self)
                return;
            if (result) {
                self->setLiveTranscript(result->bestTranscription);
                if (result->isFinal) {
                    const QString text = result->bestTranscription;
                    onFinal(text);
                    if (self)
                        self->stopListening();
                }
            } else if (error) {
                self->stopListening();
            }
        });
    // The tap runs on the capture thread and touches only this dictation's request.
    m_audioEngine->installTap(tapFrames, [request](const QAudioBuffer &buffer) { request->append(buffer); });
    m_audioEngine->prepare();
    m_audioEngine->start(); // a failure leaves the dictation to end by error or by stopListening
    setListening(true);
    setLiveTranscript(QString());
}

void SpeechManager::stopListening()
{
    if (!m_audioEngine->isRunning() && !m_listening)
        return;
    m_audioEngine->stop();
    m_audioEngine->removeTap();
    // Ending the audio and then cancelling means no transcript is delivered.
    if (m_request)
        m_request->endAudio();
    if (m_task)
        m_task->cancel();
    m_request.reset();
    m_task.reset();
    setListening(false);
}

void SpeechManager::setListening(bool listening)
{
    if (m_listening == listening)
        return;
    m_listening = listening;
    emit isListeningChanged();
}

void SpeechManager::setLiveTranscript(const QString &text)
{
    if (m_liveTranscript == text)
        return;
    m_liveTranscript = text;
    emit liveTranscriptChanged();
}

void SpeechManager::speak(const QString &text)
{
    m_output->speak(text);
}

void SpeechManager::stopSpeaking()
{
    m_output->stopSpeaking();
}

void SpeechManager::shutdown()
{
    m_output->shutdown();
}

bool SpeechManager::isSpeaking() const
{
    return m_output->isSpeaking();
}
