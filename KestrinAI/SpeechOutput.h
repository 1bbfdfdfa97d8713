#pragma once

#include "NeuralVoiceServer.h"

#include <QObject>
#include <QString>

#include <chrono>

class ClipPlayer;
class SpeechSynthesizer;

/// The program's voice: every spoken reply goes through speak(). The speaking half of the
/// speech manager, which owns one and forwards to it.
///
/// Two voices. The neural one is a Kokoro model run by NeuralVoiceServer, started when this
/// object is made; it writes each reply to a WAV file in a private folder, which is played
/// (ClipPlayer) and deleted. The system voice (SystemVoice, speech-dispatcher) speaks a reply
/// when the neural voice is not installed, not ready, or fails on that reply. The system voice
/// is loaded in the background once the neural voice is known to be unavailable, or on its
/// first utterance.
///
/// isSpeaking: true while a clip plays or the system voice speaks. Between a neural request and
/// the start of its clip it stays false.
///
/// Log lines (DebugLog): "Neural voice not installed, using the system voice",
/// "Failed to start neural voice: {error}", "Neural voice starting", "Neural voice ready",
/// "Neural voice exited unexpectedly", "Neural voice error: {message}",
/// "Neural voice: output missing", "Neural voice: playback failed: {error}".
///
/// Thread: main only. Owns the server process, the player and the system voice; destroying
/// this object terminates the server.
class SpeechOutput : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isSpeaking READ isSpeaking NOTIFY isSpeakingChanged)
    Q_PROPERTY(bool neuralVoiceReady READ isNeuralVoiceReady NOTIFY neuralVoiceReadyChanged)

public:
    /// Starts the neural voice server (or logs why not); the system voice loads later.
    explicit SpeechOutput(QObject *parent = nullptr);
    enum class NeuralVoice { start, off, startKeepingClips };
    /// The same with @p systemVoice in place of the system voice (this object takes it) and
    /// server restarts after 1, 2, 3 times @p restartDelayUnit: for tests. With NeuralVoice::off
    /// the server is never started (a terminal command that speaks nothing); with
    /// startKeepingClips it starts but leaves the clips already in the folder alone (a terminal
    /// command that speaks beside the running program).
    SpeechOutput(SpeechSynthesizer *systemVoice, std::chrono::milliseconds restartDelayUnit,
                 QObject *parent = nullptr, NeuralVoice neuralVoice = NeuralVoice::start);
    ~SpeechOutput() override;

    /// The text as spoken: every "**", "__", "`" and "#" removed, then white space and line
    /// breaks trimmed at both ends.
    static QString cleanedText(const QString &text);

    /// Speaks cleanedText(@p text), with the neural voice when it can take a request (the voice
    /// is SettingsStore's kokoroVoice at this moment), else with the system voice. A blank
    /// text does nothing. Returns at once.
    void speak(const QString &text);
    /// Stops the clip playing and the system voice at once; isSpeaking becomes false. A reply
    /// the server is still making is withdrawn: its clip is deleted unplayed when it arrives.
    /// Only the newest reply is ever played, and only from the file named for it.
    void stopSpeaking();
    /// Stops the neural voice server for good (no restart). Called when the program quits.
    void shutdown();

    bool isSpeaking() const { return m_speaking; }
    bool isNeuralVoiceReady() const { return m_server->isReady(); }

signals:
    void isSpeakingChanged();
    void neuralVoiceReadyChanged();

private:
    void handleSynthesis(qint64 request, const SynthesisResult &result, const QString &text);
    void playClip(const QString &path);
    void speakWithSystemVoice(const QString &text);
    void onClipFinished(ClipPlayer *player);
    void updateSpeaking();

    NeuralVoiceServer *m_server;
    SpeechSynthesizer *m_systemVoice;
    ClipPlayer *m_player = nullptr; // the clip playing now, if any
    bool m_systemSpeaking = false;
    bool m_speaking = false;
    qint64 m_wantedRequest = 0; // the neural reply still to be played; 0 after stopSpeaking()
};
