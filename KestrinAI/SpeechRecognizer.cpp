#include "SpeechRecognizer.h"

#include "DebugLog.h"
#include "PocketSphinxDecoder.h"

#include <QDir>
#include <QFileInfo>

#include <pthread.h>

namespace {

// The decoder takes audio in pieces of this size, so a cancel is noticed within 100 ms of
// decoding even when much audio is waiting.
constexpr qsizetype decodePiece = 1600;

} // namespace

std::unique_ptr<SpeechRecognizer> SpeechRecognizer::create(const QString &locale)
{
    return create(locale, defaultModelFolder());
}

std::unique_ptr<SpeechRecognizer> SpeechRecognizer::create(const QString &locale, const QString &modelFolder)
{
    const bool usEnglish = locale.compare(QLatin1String("en-US"), Qt::CaseInsensitive) == 0
        || locale.compare(QLatin1String("en_US"), Qt::CaseInsensitive) == 0;
    if (!usEnglish || !isModelInstalled(modelFolder))
        return nullptr;
    return std::unique_ptr<SpeechRecognizer>(new SpeechRecognizer(modelFolder));
}

QString SpeechRecognizer::defaultModelFolder()
{
    return QStringLiteral("/usr/share/pocketsphinx/model/en-us");
}

bool SpeechRecognizer::isModelInstalled(const QString &modelFolder)
{
    const QDir folder(modelFolder);
    return QFileInfo(folder.filePath(QStringLiteral("en-us/mdef"))).isFile()
        && QFileInfo(folder.filePath(QStringLiteral("cmudict-en-us.dict"))).isFile()
        && QFileInfo(folder.filePath(QStringLiteral("en-us.lm.bin"))).isFile();
}

const QStringList &SpeechRecognizer::wakePhrases()
{
    return PocketSphinxDecoder::wakePhrases();
}

SpeechRecognizer::SpeechRecognizer(const QString &modelFolder)
    : m_modelFolder(modelFolder)
{
}

SpeechRecognizer::~SpeechRecognizer()
{
    {
        const std::lock_guard lock(m_queueMutex);
        m_stopping = true;
        if (m_current)
            m_current->request->wake();
    }
    m_queueCondition.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

std::unique_ptr<RecognitionTask> SpeechRecognizer::recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                                   RecognitionTask::Handler handler)
{
    if (!request)
        request = std::make_shared<RecognitionRequest>();
    auto control = std::make_shared<Control>();
    control->request = std::move(request);
    std::unique_ptr<RecognitionTask> task(new RecognitionTask(control, std::move(handler)));
    {
        const std::lock_guard lock(m_queueMutex);
        m_queue.push_back(control);
    }
    m_queueCondition.notify_all();
    if (!m_worker.joinable())
        m_worker = std::thread(&SpeechRecognizer::run, this);
    return task;
}

void SpeechRecognizer::post(const std::shared_ptr<Control> &control, const std::optional<RecognitionResult> &result,
                            const std::optional<RecognitionError> &error)
{
    // The recognizer outlives its worker, so the call always has a receiver; the task may be
    // gone or cancelled by the time it runs.
    QMetaObject::invokeMethod(this, [control, result, error] {
        if (control->task && !control->cancelled)
            control->task->deliver(result, error);
    }, Qt::QueuedConnection);
}

void SpeechRecognizer::run()
{
    pthread_setname_np(pthread_self(), "kestrin-speech"); // for top, gdb and the benchmark
    for (;;) {
        std::shared_ptr<Control> control;
        {
            std::unique_lock lock(m_queueMutex);
            m_current.reset();
            m_queueCondition.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                break;
            control = m_queue.front();
            m_queue.pop_front();
            m_current = control;
        }
        if (!control->cancelled)
            decode(control);
        control->request->close();
    }
    m_decoder.reset();
}

void SpeechRecognizer::decode(const std::shared_ptr<Control> &control)
{
    const auto fail = [&](const QString &why) {
        post(control, std::nullopt, RecognitionError{RecognitionError::Code::modelUnavailable,
                                                     QStringLiteral("Speech recognition is unavailable: ") + why});
    };
    if (!m_decoder && !m_decoderFailed) {
        QString why;
        m_decoder = PocketSphinxDecoder::create(m_modelFolder, &why);
        if (!m_decoder) {
            m_decoderFailed = true;
            QMetaObject::invokeMethod(this, [this] {
                if (!m_available)
                    return;
                m_available = false;
                emit availableChanged(false);
            }, Qt::QueuedConnection);
            fail(why);
            return;
        }
    }
    if (!m_decoder) {
        fail(QStringLiteral("the speech model could not be loaded"));
        return;
    }
    RecognitionRequest &request = *control->request;
    QString why;
    if (!m_decoder->begin(request.mode(), request.shouldReportPartialResults(), &why)) {
        fail(why);
        return;
    }

    const auto interrupted = [this, &control] { return m_stopping || control->cancelled; };
    QList<RecognitionResult> results;
    for (;;) {
        const RecognitionRequest::Audio audio = request.takeAudio(interrupted);
        if (audio.interrupted) {
            m_decoder->abandon();
            return;
        }
        const auto *samples = reinterpret_cast<const qint16 *>(audio.samples.constData());
        const qsizetype count = audio.samples.size() / qsizetype(sizeof(qint16));
        for (qsizetype at = 0; at < count; at += decodePiece) {
            if (interrupted()) {
                m_decoder->abandon();
                return;
            }
            results.clear();
            const bool ended = m_decoder->feed(samples + at, qMin(decodePiece, count - at), results);
            for (const RecognitionResult &result : std::as_const(results)) {
                if (result.isFinal && result.bestTranscription.isEmpty())
                    post(control, std::nullopt, RecognitionError{RecognitionError::Code::noSpeech,
                                                                 QStringLiteral("No speech was recognized.")});
                else
                    post(control, result, std::nullopt);
            }
            if (ended)
                return;
        }
        if (audio.ended) {
            if (const std::optional<RecognitionResult> last = m_decoder->finish())
                post(control, last, std::nullopt);
            else
                post(control, std::nullopt, RecognitionError{RecognitionError::Code::noSpeech,
                                                             request.mode() == RecognitionRequest::Mode::wakePhrase
                                                                 ? QStringLiteral("No wake phrase was heard.")
                                                                 : QStringLiteral("No speech was recognized.")});
            return;
        }
    }
}
