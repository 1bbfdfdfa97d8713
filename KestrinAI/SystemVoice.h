#pragma once

#include "SpeechSynthesizer.h"

#include <QStringList>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>

class QThread;

/// The system voice: Qt TextToSpeech on the speech-dispatcher engine ("speechd", named
/// explicitly: the order of the available engines varies, and the flite engine crashes in
/// Qt 6.4).
///
/// Creating the engine starts speech-dispatcher and takes 2.5 to 4 s, and every call into it
/// is a round trip to that daemon, so the engine lives on a thread of its own: the main thread
/// only posts work there and never waits for it. The engine is created on prepare() or on the
/// first say(); an utterance asked for meanwhile is spoken as soon as it exists (a later one
/// replaces it, stop() drops it).
///
/// Each utterance gets the voice preferredVoice() picks among the engine's en-US voices (the
/// engine's en-US default when none is preferred) and the default rate. speech-dispatcher
/// reports the start of speech and its end or cancellation; when it never reports the end (no
/// sound server), finished() comes after the time the text can take to speak.
///
/// Thread: created and used on the main thread; signals arrive there. The destructor waits for
/// the voice thread, up to the end of an engine creation in progress.
class SystemVoice final : public SpeechSynthesizer
{
    Q_OBJECT

public:
    static constexpr auto engineName = "speechd";

    explicit SystemVoice(QObject *parent = nullptr);
    ~SystemVoice() override;

    void prepare() override;
    void say(const QString &text) override;
    void stop() override;

    /// Index in @p enUsVoices (names in the engine's order) of the voice to use, or -1 for the
    /// engine's default: the first whose name, or the variant after the last "+" in
    /// speech-dispatcher's "Language+Variant" names, begins with "Reed", then "Alex",
    /// "Samantha", "Aaron", "Nathan", "Tom".
    static qsizetype preferredVoice(const QStringList &enUsVoices);

    /// The longest a text may take to speak before its end is assumed.
    static std::chrono::milliseconds speakingLimit(const QString &text);

private:
    class Engine;

    void ensureThread();
    void onEngineState(quint64 generation, bool speaking);

    QThread *m_thread = nullptr;
    Engine *m_engine = nullptr; // lives on m_thread; deleted there when the thread ends
    // The newest utterance (or stop) asked for; the voice thread skips anything older.
    std::shared_ptr<std::atomic<quint64>> m_latest = std::make_shared<std::atomic<quint64>>(0);
    quint64 m_generation = 0;
    bool m_speaking = false;
    QTimer m_limit;
};
