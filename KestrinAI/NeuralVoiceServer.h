#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>

/// The answer to one synthesis request.
struct SynthesisResult
{
    bool ok = false;
    QString path;    ///< the WAV file the server wrote, when ok
    QString message; ///< the server's reason, when not ok ("unknown error" when it gave none)
};

/// The neural voice server: a Python child process (kokoro_server.py) spoken to in JSON lines.
///
/// Process: VoiceAssets::python with the arguments <script> "--models" <models folder>, run in
/// the support folder, stdin and stdout piped, stderr discarded. The server prints
/// {"status":"ready"} once it can take requests; each request line {"text","voice","out"} is
/// answered, in order, by {"status":"ok","out":path} or a failure line with a "message".
/// Answers carry no request number, but come in order: each goes to the completion of the latest
/// request (each synthesize() replaces the completion, nothing clears it) with the number of the
/// request it answers, so a reply that was replaced meanwhile is never taken for the new one.
///
/// Restarts: an exit that was not asked for is logged and, while fewer than four exits came
/// without a "ready" in between, followed by a new start after 1, 2, then 3 restart delay units
/// (2 s by default: 2, 4, 6 s). After the fourth the server stays down and unavailable() is
/// emitted, as it is when the voice is not installed or cannot be launched.
///
/// Thread: main. The process is a child of this object; destroying it kills the server.
class NeuralVoiceServer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool ready READ isReady NOTIFY readyChanged)

public:
    using Completion = std::function<void(qint64 request, const SynthesisResult &result)>;

    static constexpr int maxUnexpectedExits = 4;
    static constexpr std::chrono::milliseconds defaultRestartDelayUnit{2000};

    explicit NeuralVoiceServer(std::chrono::milliseconds restartDelayUnit = defaultRestartDelayUnit,
                               QObject *parent = nullptr);
    ~NeuralVoiceServer() override;

    /// Finds the voice and launches the server (logs "Neural voice starting"), or logs why not.
    void start();
    /// No restart from now on: closes the server's input and terminates it. Idempotent.
    void shutdown();

    bool isReady() const { return m_ready; }
    /// Ready, its input open and its process running: a request can be sent.
    bool canSynthesize() const;
    /// The number synthesize() gives its next request (the first is 1).
    qint64 nextRequest() const { return m_requestId + 1; }
    qint64 latestRequest() const { return m_requestId; }

    /// Sends one request with the number nextRequest(), its WAV going to outputPath() of that
    /// number, and makes @p completion the handler of every answer from now on. The server
    /// answers in order, so each answer is handed on with the number of the request it is for;
    /// answers to earlier requests reach the newest handler with their own numbers.
    /// @return false when nothing was sent (not canSynthesize(), or the write failed).
    bool synthesize(const QString &text, const QString &voice, Completion completion);

    /// Where the server writes the clips: "kestrin-ai" in $XDG_RUNTIME_DIR, or "tmp" in the
    /// support folder when there is no runtime folder; created 0700, ends with "/".
    static QString outputFolder();
    /// outputFolder() + "kestrin_speech_" + request + ".wav".
    static QString outputPath(qint64 request);

signals:
    void readyChanged();
    /// The server will not run for the rest of the session (not installed, launch failed, or
    /// given up after repeated exits).
    void unavailable();

private:
    friend struct VoiceServerProbe; // tests/fuzz: feeds output lines without a process

    void launch();
    void onStarted();
    void onErrorOccurred(QProcess::ProcessError error);
    void onFinished();
    void onReadyRead();
    /// The server's output as it arrives: complete lines are handled, the rest kept.
    void receive(const QByteArray &chunk);
    void handleLine(const QByteArray &line);
    void setReady(bool ready);
    void retire(QProcess *process);

    const std::chrono::milliseconds m_restartDelayUnit;
    QProcess *m_process = nullptr;
    QByteArray m_buffer; // output not yet ended by a line feed
    QTimer m_restartTimer;
    Completion m_completion;
    qint64 m_requestId = 0;
    std::deque<qint64> m_unanswered; // sent to the running server, oldest first
    int m_restartAttempts = 0; // unexpected exits since the last "ready"
    bool m_ready = false;
    bool m_shuttingDown = false;
};
