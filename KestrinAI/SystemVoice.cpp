#include "SystemVoice.h"

#include "DebugLog.h"

#include <QLocale>
#include <QTextToSpeech>
#include <QThread>
#include <QVoice>

#include <limits>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

const QLocale enUs(QLocale::English, QLocale::UnitedStates);

} // namespace

/// The engine and everything that talks to it; lives on the voice thread, and every member is
/// touched only there.
class SystemVoice::Engine : public QObject
{
public:
    Engine(SystemVoice *owner, std::shared_ptr<std::atomic<quint64>> latest)
        : m_owner(owner)
        , m_latest(std::move(latest))
    {
    }

    void create()
    {
        if (m_created)
            return;
        m_created = true;
        m_tts = new QTextToSpeech(QString::fromLatin1(engineName), this);
        if (m_tts->state() == QTextToSpeech::Error) {
            DebugLog::log(QStringLiteral("System voice unavailable: %1").arg(m_tts->errorString()));
            return;
        }
        if (m_tts->availableLocales().contains(enUs)) {
            m_tts->setLocale(enUs);
            m_enUsDefault = m_tts->voice();
            m_hasEnUs = true;
        }
        connect(m_tts, &QTextToSpeech::stateChanged, this, [this](QTextToSpeech::State state) {
            if (state == QTextToSpeech::Speaking)
                report(true);
            else if (state == QTextToSpeech::Ready || state == QTextToSpeech::Error)
                report(false);
        });
    }

    void speak(quint64 generation, const QString &text)
    {
        if (generation != m_latest->load())
            return; // replaced or stopped while waiting here
        create();
        if (generation != m_latest->load() || m_tts->state() == QTextToSpeech::Error)
            return;
        if (m_hasEnUs) {
            QList<QVoice> voices;
            QStringList names;
            for (const QVoice &voice : m_tts->availableVoices()) {
                if (voice.locale() == enUs) {
                    voices.append(voice);
                    names.append(voice.name());
                }
            }
            const qsizetype index = preferredVoice(names);
            m_tts->setVoice(index >= 0 ? voices.at(index) : m_enUsDefault);
        }
        m_tts->setRate(0.0);
        m_current = generation;
        m_tts->say(text);
    }

    void stop()
    {
        if (m_tts && m_tts->state() != QTextToSpeech::Error)
            m_tts->stop(QTextToSpeech::BoundaryHint::Immediate);
    }

private:
    void report(bool speaking)
    {
        SystemVoice *owner = m_owner;
        const quint64 generation = m_current;
        // The owner outlives this thread (its destructor joins it), so it is a valid context.
        QMetaObject::invokeMethod(
            owner, [owner, generation, speaking] { owner->onEngineState(generation, speaking); },
            Qt::QueuedConnection);
    }

    SystemVoice *const m_owner;
    const std::shared_ptr<std::atomic<quint64>> m_latest;
    QTextToSpeech *m_tts = nullptr;
    QVoice m_enUsDefault;
    bool m_created = false;
    bool m_hasEnUs = false;
    quint64 m_current = 0; // the utterance last handed to the engine
};

SystemVoice::SystemVoice(QObject *parent)
    : SpeechSynthesizer(parent)
{
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        // speech-dispatcher never reported the end (it does not without a sound server).
        stop();
        emit finished();
    });
}

SystemVoice::~SystemVoice()
{
    if (!m_thread)
        return;
    m_latest->store(std::numeric_limits<quint64>::max()); // skip every queued utterance
    m_thread->quit();
    m_thread->wait();
}

void SystemVoice::ensureThread()
{
    if (m_thread)
        return;
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("system voice"));
    m_engine = new Engine(this, m_latest);
    m_engine->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_engine, &QObject::deleteLater);
    m_thread->start();
}

void SystemVoice::prepare()
{
    ensureThread();
    Engine *engine = m_engine;
    QMetaObject::invokeMethod(engine, [engine] { engine->create(); }, Qt::QueuedConnection);
}

void SystemVoice::say(const QString &text)
{
    ensureThread();
    const quint64 generation = ++m_generation;
    m_latest->store(generation);
    m_limit.setInterval(speakingLimit(text));
    Engine *engine = m_engine;
    QMetaObject::invokeMethod(
        engine, [engine, generation, text] { engine->speak(generation, text); },
        Qt::QueuedConnection);
}

void SystemVoice::stop()
{
    const quint64 generation = ++m_generation;
    m_latest->store(generation);
    m_speaking = false;
    m_limit.stop();
    if (!m_engine)
        return;
    Engine *engine = m_engine;
    QMetaObject::invokeMethod(engine, [engine] { engine->stop(); }, Qt::QueuedConnection);
}

void SystemVoice::onEngineState(quint64 generation, bool speaking)
{
    if (generation != m_generation || speaking == m_speaking)
        return;
    m_speaking = speaking;
    if (speaking) {
        m_limit.start();
        emit started();
    } else {
        m_limit.stop();
        emit finished();
    }
}

qsizetype SystemVoice::preferredVoice(const QStringList &enUsVoices)
{
    static const QStringList prefixes = {QStringLiteral("Reed"), QStringLiteral("Alex"),
                                         QStringLiteral("Samantha"), QStringLiteral("Aaron"),
                                         QStringLiteral("Nathan"), QStringLiteral("Tom")};
    for (const QString &prefix : prefixes) {
        for (qsizetype i = 0; i < enUsVoices.size(); ++i) {
            const QString &name = enUsVoices.at(i);
            const qsizetype plus = name.lastIndexOf(u'+');
            const QStringView variant = plus >= 0 ? QStringView(name).mid(plus + 1) : QStringView();
            if (name.startsWith(prefix) || variant.startsWith(prefix))
                return i;
        }
    }
    return -1;
}

milliseconds SystemVoice::speakingLimit(const QString &text)
{
    // Far slower than any voice speaks (about 70 ms a character at the default rate).
    return 5s + 150ms * text.size();
}
