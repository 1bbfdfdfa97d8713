#include "MicrophoneAudioEngine.h"

#include "DebugLog.h"

#include <QAudioDevice>
#include <QAudioSource>
#include <QMediaDevices>

#include <memory>

/// The capture thread's side: one QAudioSource at a time, read as it fills.
class MicrophoneCapture : public QObject
{
    Q_OBJECT

public:
    using Sink = std::function<void(const char *bytes, qsizetype count)>;

    explicit MicrophoneCapture(Sink sink)
        : m_sink(std::move(sink))
    {
    }

    void begin(const QAudioDevice &device, quint64 run)
    {
        end();
        m_run = run;
        m_source = std::make_unique<QAudioSource>(device, AudioEngine::inputFormat());
        // 200 ms of buffering: small enough for prompt partial results, large enough that a
        // busy moment on this thread does not lose sound.
        m_source->setBufferSize(AudioEngine::sampleRate / 5 * qsizetype(sizeof(qint16)));
        connect(m_source.get(), &QAudioSource::stateChanged, this, [this](QAudio::State state) {
            if (state != QAudio::StoppedState || m_source->error() == QAudio::NoError)
                return;
            // Not from inside the source's own signal: ending deletes it.
            const QString message = QStringLiteral("capture stopped (error %1)").arg(int(m_source->error()));
            QMetaObject::invokeMethod(this, [this, run = m_run, message] {
                if (run == m_run && m_source)
                    fail(message);
            }, Qt::QueuedConnection);
        });
        m_device = m_source->start();
        if (!m_device || m_source->error() != QAudio::NoError) {
            fail(QStringLiteral("capture did not start (error %1)").arg(int(m_source->error())));
            return;
        }
        connect(m_device, &QIODevice::readyRead, this, [this] {
            const QByteArray bytes = m_device->readAll();
            if (!bytes.isEmpty())
                m_sink(bytes.constData(), bytes.size());
        });
    }

    void end()
    {
        if (!m_source)
            return;
        m_source->disconnect(this);
        if (m_device)
            m_device->disconnect(this);
        m_source->stop();
        m_source.reset();
        m_device = nullptr;
    }

    ~MicrophoneCapture() override { end(); }

signals:
    void failed(quint64 run, const QString &message);

private:
    void fail(const QString &message)
    {
        const quint64 run = m_run;
        end();
        emit failed(run, message);
    }

    Sink m_sink;
    std::unique_ptr<QAudioSource> m_source;
    QIODevice *m_device = nullptr;
    quint64 m_run = 0;
};

MicrophoneAudioEngine::MicrophoneAudioEngine(QObject *parent)
    : AudioEngine(parent)
{
    m_thread.setObjectName(QStringLiteral("kestrin-capture"));
    m_capture = new MicrophoneCapture([this](const char *bytes, qsizetype count) { deliver(bytes, count); });
    m_capture->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_capture, &QObject::deleteLater);
    connect(m_capture, &MicrophoneCapture::failed, this, &MicrophoneAudioEngine::onCaptureFailed,
            Qt::QueuedConnection);
    m_thread.start();
}

MicrophoneAudioEngine::~MicrophoneAudioEngine()
{
    setDelivering(false);
    m_thread.quit(); // the capture object, and its source, are deleted on their own thread
    m_thread.wait();
}

bool MicrophoneAudioEngine::start()
{
    if (m_running)
        return true;
    // Asked here, on the owning thread, so Qt Multimedia's device list starts on this thread.
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull()) {
        DebugLog::log(QStringLiteral("Microphone: no audio input device"));
        return false;
    }
    const quint64 run = ++m_run;
    setDelivering(true);
    QMetaObject::invokeMethod(m_capture, [capture = m_capture, device, run] { capture->begin(device, run); },
                              Qt::QueuedConnection);
    m_running = true;
    emit runningChanged(true);
    return true;
}

void MicrophoneAudioEngine::stop()
{
    if (!m_running)
        return;
    ++m_run;
    setDelivering(false);
    QMetaObject::invokeMethod(m_capture, [capture = m_capture] { capture->end(); }, Qt::QueuedConnection);
    m_running = false;
    emit runningChanged(false);
}

void MicrophoneAudioEngine::onCaptureFailed(quint64 run, const QString &message)
{
    if (run != m_run || !m_running)
        return;
    DebugLog::log(QStringLiteral("Microphone: ") + message);
    setDelivering(false);
    m_running = false;
    emit runningChanged(false);
    emit errorOccurred(message);
}

#include "MicrophoneAudioEngine.moc"
