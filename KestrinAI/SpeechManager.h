#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <memory>

class AudioEngine;
class RecognitionRequest;
class RecognitionTask;
class SpeechOutput;
class SpeechRecognizer;

/// The one object for speech: dictation from the microphone (here) and speech output
/// (SpeechOutput, owned and forwarded to). Owned by the chat session.
///
/// Dictation: one at a time, US English, on the device. startListening() publishes the partial
/// transcript in liveTranscript while the user speaks and hands the final transcript to its
/// callback once, when the speaker pauses; stopListening() ends it without a transcript. A
/// recognition error ends it silently. The wake-word listener has a recognizer and an audio
/// engine of its own, so both may listen at once.
///
/// Thread: main only; recognition results arrive here from the recognizer's worker.
class SpeechManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("SpeechManager belongs to the chat session")
    Q_PROPERTY(bool isListening READ isListening NOTIFY isListeningChanged)
    Q_PROPERTY(QString liveTranscript READ liveTranscript NOTIFY liveTranscriptChanged)
    Q_PROPERTY(bool isSpeaking READ isSpeaking NOTIFY isSpeakingChanged)

public:
    using RecognizerFactory = std::function<std::unique_ptr<SpeechRecognizer>(const QString &locale)>;

    /// The microphone, the on-device recognizer and the program's voice (whose neural server
    /// starts now).
    explicit SpeechManager(QObject *parent = nullptr);
    /// With other parts (tests): @p output is taken over and must not be null.
    SpeechManager(std::unique_ptr<AudioEngine> audioEngine, RecognizerFactory recognizerFactory,
                  SpeechOutput *output, QObject *parent = nullptr);
    ~SpeechManager() override;

    /// Asks for microphone and speech-recognition access; @p completion gets whether both were
    /// granted, on the main thread, while @p context lives.
    void requestPermissions(QObject *context, std::function<void(bool granted)> completion);

    /// Starts a dictation; does nothing while one runs (the engine is running) or when no
    /// recognizer is available. @p onFinal is called at most once, with the final transcript.
    void startListening(std::function<void(const QString &text)> onFinal);
    /// Ends the dictation without delivering a transcript; nothing happens when idle.
    void stopListening();
    bool isListening() const { return m_listening; }
    /// The latest transcript of the current dictation; emptied when one starts, kept after.
    QString liveTranscript() const { return m_liveTranscript; }

    /// See SpeechOutput.
    void speak(const QString &text);
    void stopSpeaking();
    /// Stops the neural voice server; at quit.
    void shutdown();
    bool isSpeaking() const;
    SpeechOutput *output() const { return m_output; }

signals:
    void isListeningChanged();
    void liveTranscriptChanged();
    void isSpeakingChanged();

private:
    void setListening(bool listening);
    void setLiveTranscript(const QString &text);

    std::unique_ptr<AudioEngine> m_audioEngine;
    RecognizerFactory m_recognizerFactory;
    std::unique_ptr<SpeechRecognizer> m_recognizer; // made on first use, then kept
    std::shared_ptr<RecognitionRequest> m_request;  // the current dictation's audio
    std::unique_ptr<RecognitionTask> m_task;
    SpeechOutput *m_output;
    bool m_listening = false;
    QString m_liveTranscript;
};
