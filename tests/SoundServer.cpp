#include "SoundServer.h"

#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace std::chrono_literals;

namespace {

QString nativeSocket(const QTemporaryDir &dir)
{
    return dir.filePath(QStringLiteral("native"));
}

} // namespace

SoundServer::SoundServer()
    : m_dir(QDir::tempPath() + QStringLiteral("/kestrin-sound-XXXXXX"))
{
}

SoundServer::~SoundServer()
{
    stop();
}

bool SoundServer::isInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty();
}

QString SoundServer::serverAddress() const
{
    return QStringLiteral("unix:") + nativeSocket(m_dir);
}

QString SoundServer::fifoPath() const
{
    return m_dir.filePath(QStringLiteral("mic.fifo"));
}

bool SoundServer::start()
{
    constexpr auto timeout = 10s;
    if (m_process.state() == QProcess::Running)
        return true;
    if (!m_dir.isValid() || !isInstalled()) {
        m_error = QStringLiteral("pulseaudio is not installed or no private folder");
        return false;
    }
    // The socket module comes last: once the socket accepts, every device exists. The pipe
    // source makes the FIFO itself (it fails when the file already exists).
    const QString script = QStringLiteral(
        "load-module module-null-sink sink_name=%1\n"
        "load-module module-pipe-source source_name=%2 file=%3 format=s16le rate=16000 channels=1\n"
        "set-default-sink %1\n"
        "set-default-source %2\n"
        "load-module module-native-protocol-unix auth-anonymous=1 socket=%4\n")
        .arg(QLatin1String(sinkName), QStringLiteral("fifomic"), fifoPath(), nativeSocket(m_dir));
    const QString scriptPath = m_dir.filePath(QStringLiteral("server.pa"));
    QFile file(scriptPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(script.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(scriptPath);
        return false;
    }
    file.close();

    // Its own home and runtime folder: no cookie, pid file or state of a real session is
    // touched, and root is accepted (it only warns).
    const QString home = m_dir.filePath(QStringLiteral("home"));
    const QString runtime = m_dir.filePath(QStringLiteral("runtime"));
    QDir().mkpath(home);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), runtime);
    env.remove(QStringLiteral("PULSE_SERVER"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    m_process.setProcessEnvironment(env);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    const QString logPath = m_dir.filePath(QStringLiteral("pulseaudio.log"));
    m_process.setStandardErrorFile(logPath);
    TestSupport::diesWithTheTest(m_process);
    m_process.start(QStringLiteral("pulseaudio"),
                    {QStringLiteral("--daemonize=no"), QStringLiteral("-n"), QStringLiteral("-F"),
                     scriptPath, QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=false"),
                     QStringLiteral("--disallow-exit"), QStringLiteral("--log-target=stderr")});
    if (!m_process.waitForStarted(int(std::chrono::milliseconds(timeout).count()))) {
        m_error = QStringLiteral("pulseaudio did not start: %1").arg(m_process.errorString());
        return false;
    }

    const QDeadlineTimer deadline(timeout);
    while (!accepts()) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()) {
            m_error = QStringLiteral("pulseaudio did not accept clients; the end of its log:\n");
            QFile log(logPath);
            if (log.open(QIODevice::ReadOnly))
                m_error += QString::fromLocal8Bit(log.readAll().right(2000));
            stop();
            return false;
        }
        QThread::msleep(10); // polling a socket that appears within a second
    }

    m_hadPreviousServer = qEnvironmentVariableIsSet("PULSE_SERVER");
    m_previousServer = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", serverAddress().toLocal8Bit());
    m_exported = true;
    return true;
}

bool SoundServer::accepts() const
{
    const QByteArray path = QFile::encodeName(nativeSocket(m_dir));
    sockaddr_un address {};
    if (size_t(path.size()) >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

void SoundServer::stop()
{
    if (m_exported) {
        if (m_hadPreviousServer)
            qputenv("PULSE_SERVER", m_previousServer);
        else
            qunsetenv("PULSE_SERVER");
        m_exported = false;
    }
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool SoundServer::pactl(const QStringList &arguments) const
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), serverAddress());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("pactl"), arguments);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
