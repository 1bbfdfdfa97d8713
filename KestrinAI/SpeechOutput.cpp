#include "SpeechOutput.h"

#include "ClipPlayer.h"
#include "DebugLog.h"
#include "PrivateFile.h"
#include "SettingsStore.h"
#include "SystemVoice.h"
#include "WavFile.h"

#include <QDir>
#include <QFile>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QPointer>

using namespace std::chrono;

namespace {

/// Clips left behind by a run that ended mid-reply: they hold what was said, so they go.
void removeLeftoverClips()
{
    QDir folder(NeuralVoiceServer::outputFolder());
    for (const QString &name : folder.entryList({QStringLiteral("kestrin_speech_*.wav")}, QDir::Files))
        folder.remove(name);
}

} // namespace

SpeechOutput::SpeechOutput(QObject *parent)
    : SpeechOutput(new SystemVoice, NeuralVoiceServer::defaultRestartDelayUnit, parent)
{
}

SpeechOutput::SpeechOutput(SpeechSynthesizer *systemVoice, milliseconds restartDelayUnit, QObject *parent,
                           NeuralVoice neuralVoice)
    : QObject(parent)
    , m_server(new NeuralVoiceServer(restartDelayUnit, this))
    , m_systemVoice(systemVoice)
{
    m_systemVoice->setParent(this);
    connect(m_systemVoice, &SpeechSynthesizer::started, this, [this] {
        m_systemSpeaking = true;
        updateSpeaking();
    });
    connect(m_systemVoice, &SpeechSynthesizer::finished, this, [this] {
        m_systemSpeaking = false;
        updateSpeaking();
    });
    connect(m_server, &NeuralVoiceServer::readyChanged, this, [this] {
        // The first look at the audio devices connects to the sound server (5 to 10 ms): done
        // now, the first clip starts without that hitch.
        if (m_server->isReady())
            QMediaDevices::defaultAudioOutput();
        emit neuralVoiceReadyChanged();
    });
    // From now on every reply takes the system voice: load it before the first one.
    connect(m_server, &NeuralVoiceServer::unavailable, m_systemVoice, &SpeechSynthesizer::prepare);

    // Only the program owns the clips: a terminal command running beside it must not delete
    // the clips it is about to play.
    if (neuralVoice == NeuralVoice::start)
        removeLeftoverClips();
    if (neuralVoice != NeuralVoice::off)
        m_server->start();
}

SpeechOutput::~SpeechOutput() = default;

QString SpeechOutput::cleanedText(const QString &text)
{
    QString cleaned = text;
    cleaned.remove(QStringLiteral("**"));
    cleaned.remove(QStringLiteral("__"));
    cleaned.remove(u'`');
    cleaned.remove(u'#');
    return cleaned.trimmed();
}

void SpeechOutput::speak(const QString &text)
{
    const QString cleaned = cleanedText(text);
    if (cleaned.isEmpty())
        return;
    if (m_server->canSynthesize()) {
        const qint64 request = m_server->nextRequest();
        const QPointer<SpeechOutput> self(this);
        auto completion = [self, request, cleaned](qint64 answered, const SynthesisResult &result) {
            if (self && answered == request && self->m_wantedRequest == request) {
                self->handleSynthesis(request, result, cleaned);
                return;
            }
            // A reply replaced or stopped before its clip was ready: never played, not kept.
            if (result.ok && result.path == NeuralVoiceServer::outputPath(answered))
                QFile::remove(result.path);
        };
        if (m_server->synthesize(cleaned, SettingsStore::shared()->kokoroVoice(), completion)) {
            m_wantedRequest = request;
            return;
        }
    }
    m_wantedRequest = 0; // a neural reply still being made is superseded by this one
    speakWithSystemVoice(cleaned);
}

void SpeechOutput::stopSpeaking()
{
    m_wantedRequest = 0;
    if (m_player) {
        m_player->stop();
        m_player->deleteLater();
        m_player = nullptr;
    }
    m_systemSpeaking = false;
    m_systemVoice->stop();
    updateSpeaking();
}

void SpeechOutput::shutdown()
{
    m_server->shutdown();
}

void SpeechOutput::handleSynthesis(qint64 request, const SynthesisResult &result, const QString &text)
{
    m_wantedRequest = 0;
    // Only the file we named is read and deleted, whatever the server says.
    if (result.ok && result.path == NeuralVoiceServer::outputPath(request)) {
        playClip(result.path);
        return;
    }
    DebugLog::log(QStringLiteral("Neural voice error: %1")
                      .arg(result.ok ? QStringLiteral("unexpected output file") : result.message));
    speakWithSystemVoice(text);
}

void SpeechOutput::playClip(const QString &path)
{
    const std::optional<QByteArray> bytes = PrivateFile::read(path);
    if (!bytes) {
        DebugLog::log(QStringLiteral("Neural voice: output missing"));
        return;
    }
    QString error;
    const std::optional<WavFile> clip = WavFile::decode(*bytes, &error);
    if (!clip) {
        DebugLog::log(QStringLiteral("Neural voice: playback failed: %1").arg(error));
    } else {
        if (m_player) {
            m_player->stop();
            m_player->deleteLater();
        }
        auto *player = new ClipPlayer(*clip, this);
        connect(player, &ClipPlayer::finished, this, [this, player] { onClipFinished(player); });
        m_player = player;
        updateSpeaking();
        player->start();
        DebugLog::log(QStringLiteral("Speaking a clip of %1 s").arg(double(clip->duration().count()) / 1e6, 0, 'f', 1));
    }
    QFile::remove(path);
}

void SpeechOutput::onClipFinished(ClipPlayer *player)
{
    player->deleteLater();
    if (player != m_player)
        return;
    DebugLog::log(QStringLiteral("Clip played"));
    m_player = nullptr;
    updateSpeaking();
}

void SpeechOutput::speakWithSystemVoice(const QString &text)
{
    m_systemVoice->say(text);
}

void SpeechOutput::updateSpeaking()
{
    const bool speaking = m_player || m_systemSpeaking;
    if (m_speaking == speaking)
        return;
    m_speaking = speaking;
    emit isSpeakingChanged();
}
