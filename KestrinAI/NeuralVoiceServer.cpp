#include "NeuralVoiceServer.h"

#include "AppPaths.h"
#include "DebugLog.h"
#include "PrivateFile.h"
#include "VoiceLocator.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

// No answer line is anywhere near this long; output that is, is not the protocol.
constexpr qsizetype maxPendingLine = 1 << 20;
constexpr auto terminateGrace = 2s;

/// A folder only this user can enter: ours, a real folder (not a link), mode 0700.
bool isPrivateDir(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode)
        && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

void log(const QString &message)
{
    DebugLog::log(message);
}

} // namespace

NeuralVoiceServer::NeuralVoiceServer(milliseconds restartDelayUnit, QObject *parent)
    : QObject(parent)
    , m_restartDelayUnit(restartDelayUnit)
{
    m_restartTimer.setSingleShot(true);
    m_restartTimer.setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5 % early
    connect(&m_restartTimer, &QTimer::timeout, this, [this] {
        if (!m_shuttingDown)
            start();
    });
}

NeuralVoiceServer::~NeuralVoiceServer()
{
    m_shuttingDown = true;
    // Terminate rather than leave it to ~QProcess, which kills and warns.
    for (QProcess *process : findChildren<QProcess *>(Qt::FindDirectChildrenOnly)) {
        process->disconnect(this);
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(500)) {
            process->kill();
            process->waitForFinished(500);
        }
    }
}

void NeuralVoiceServer::start()
{
    if (m_shuttingDown || m_process)
        return;
    const std::optional<VoiceAssets> assets = VoiceLocator::find();
    const QString script = VoiceLocator::serverScript();
    if (!assets || script.isEmpty()) {
        log(QStringLiteral("Neural voice not installed, using the system voice"));
        emit unavailable();
        return;
    }

    auto *process = new QProcess(this);
    process->setProgram(assets->python);
    process->setArguments({script, QStringLiteral("--models"), assets->models});
    process->setWorkingDirectory(AppPaths::support());
    process->setStandardErrorFile(QProcess::nullDevice());
    connect(process, &QProcess::started, this, &NeuralVoiceServer::onStarted);
    connect(process, &QProcess::errorOccurred, this, &NeuralVoiceServer::onErrorOccurred);
    connect(process, &QProcess::finished, this, &NeuralVoiceServer::onFinished);
    connect(process, &QProcess::readyReadStandardOutput, this, &NeuralVoiceServer::onReadyRead);
    m_process = process;
    // A line cut off by the previous server's death must not prefix the new server's first, and
    // the requests it never answered are not answered by the new one.
    m_buffer.clear();
    m_unanswered.clear();
    process->start();
}

void NeuralVoiceServer::onStarted()
{
    log(QStringLiteral("Neural voice starting"));
}

void NeuralVoiceServer::onErrorOccurred(QProcess::ProcessError error)
{
    // Crashes and exits arrive through finished(); only a launch failure is handled here.
    if (error != QProcess::FailedToStart || !m_process)
        return;
    log(QStringLiteral("Failed to start neural voice: %1").arg(m_process->errorString()));
    retire(m_process);
    emit unavailable();
}

void NeuralVoiceServer::onFinished()
{
    if (!m_process)
        return;
    // Answers written just before the exit still count.
    const QPointer<NeuralVoiceServer> self(this);
    onReadyRead();
    if (!self || !m_process)
        return;
    retire(m_process);
    if (m_shuttingDown)
        return;
    log(QStringLiteral("Neural voice exited unexpectedly"));
    setReady(false);
    ++m_restartAttempts;
    if (m_restartAttempts < maxUnexpectedExits)
        m_restartTimer.start(m_restartDelayUnit * m_restartAttempts);
    else
        emit unavailable();
}

void NeuralVoiceServer::retire(QProcess *process)
{
    if (process == m_process)
        m_process = nullptr;
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning)
        process->deleteLater();
    else
        connect(process, &QProcess::finished, process, &QObject::deleteLater);
}

void NeuralVoiceServer::shutdown()
{
    m_shuttingDown = true;
    m_restartTimer.stop();
    setReady(false);
    if (!m_process)
        return;
    QProcess *process = m_process;
    retire(process);
    // The server exits by itself at the end of its input; the signal covers one busy
    // synthesizing, and the kill one that ignores the signal.
    process->closeWriteChannel();
    process->terminate();
    QTimer::singleShot(terminateGrace, process, [process] { process->kill(); });
}

bool NeuralVoiceServer::canSynthesize() const
{
    return m_ready && !m_shuttingDown && m_process && m_process->state() == QProcess::Running;
}

bool NeuralVoiceServer::synthesize(const QString &text, const QString &voice, Completion completion)
{
    if (!canSynthesize())
        return false;
    const qint64 request = ++m_requestId;
    const QJsonObject object{{QStringLiteral("text"), text},
                             {QStringLiteral("voice"), voice},
                             {QStringLiteral("out"), outputPath(request)}};
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    m_completion = std::move(completion);
    if (m_process->write(line) != line.size())
        return false;
    m_unanswered.push_back(request);
    return true;
}

void NeuralVoiceServer::onReadyRead()
{
    if (m_process)
        receive(m_process->readAllStandardOutput());
}

void NeuralVoiceServer::receive(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    m_buffer += chunk;
    const QPointer<NeuralVoiceServer> self(this);
    for (qsizetype end = m_buffer.indexOf('\n'); end >= 0; end = m_buffer.indexOf('\n')) {
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        handleLine(line);
        // A completion may stop everything, or destroy the owner of this object.
        if (!self || m_shuttingDown)
            return;
    }
    if (m_buffer.size() > maxPendingLine)
        m_buffer.clear();
}

void NeuralVoiceServer::handleLine(const QByteArray &line)
{
    const QJsonDocument document = QJsonDocument::fromJson(line);
    if (!document.isObject())
        return;
    const QJsonObject object = document.object();
    const QJsonValue status = object.value(QLatin1String("status"));
    if (object.isEmpty() || !status.isString())
        return;

    if (status.toString() == QLatin1String("ready")) {
        m_restartAttempts = 0;
        log(QStringLiteral("Neural voice ready"));
        setReady(true);
        return;
    }

    SynthesisResult result;
    if (status.toString() == QLatin1String("ok")) {
        const QJsonValue out = object.value(QLatin1String("out"));
        if (!out.isString())
            return;
        result.ok = true;
        result.path = out.toString();
    } else {
        const QJsonValue message = object.value(QLatin1String("message"));
        result.message = message.isString() ? message.toString() : QStringLiteral("unknown error");
    }
    if (m_unanswered.empty())
        return; // nothing was asked of this server
    const qint64 answered = m_unanswered.front();
    m_unanswered.pop_front();
    if (m_completion) {
        // A copy: the handler may send a new request, which replaces m_completion.
        const Completion completion = m_completion;
        completion(answered, result);
    }
}

void NeuralVoiceServer::setReady(bool ready)
{
    if (m_ready == ready)
        return;
    m_ready = ready;
    emit readyChanged();
}

QString NeuralVoiceServer::outputFolder()
{
    // A folder of our own, never a shared /tmp: the clips hold the user's replies.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && isPrivateDir(runtime)) {
        const QString folder = QDir(runtime).filePath(QStringLiteral("kestrin-ai"));
        if (PrivateFile::ensureDir(folder) && isPrivateDir(folder))
            return folder + u'/';
    }
    const QString folder = QDir(AppPaths::support()).filePath(QStringLiteral("tmp"));
    PrivateFile::ensureDir(folder);
    return folder + u'/';
}

QString NeuralVoiceServer::outputPath(qint64 request)
{
    return outputFolder() + QStringLiteral("kestrin_speech_%1.wav").arg(request);
}
