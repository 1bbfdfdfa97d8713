#include "SingleInstance.h"

#include "AppPaths.h"
#include "DebugLog.h"
#include "PrivateFile.h"

#include <QDataStream>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

constexpr int connectWaitMs = 1000;
constexpr int answerWaitMs = 3000;
const QByteArray acknowledgement = "ok\n";

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(std::move(socketPath))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath()
{
    return AppPaths::support() + QStringLiteral("/instance.sock");
}

bool SingleInstance::claim(const QStringList &arguments)
{
    HandOver attempt = handOver(arguments);
    if (attempt == HandOver::noServer && listen())
        return true;
    // Another launch may have won the race between our attempt and our listen.
    if (attempt == HandOver::noServer)
        attempt = handOver(arguments);
    if (attempt == HandOver::done)
        return false;
    if (attempt == HandOver::noAnswer) {
        // A program is there but busy: a second one would double the wake listener and voices.
        DebugLog::log(QStringLiteral("Single instance: the running program did not answer; not starting another"));
        return false;
    }
    // A socket left by a program that crashed refuses connections: take its place.
    QLocalServer::removeServer(m_socketPath);
    if (listen())
        return true;
    DebugLog::log(QStringLiteral("Single instance: cannot listen at %1; running without it").arg(m_socketPath));
    return true;
}

SingleInstance::HandOver SingleInstance::handOver(const QStringList &arguments)
{
    if (!QFileInfo::exists(m_socketPath))
        return HandOver::noServer;
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(connectWaitMs)) {
        const auto error = socket.error();
        return error == QLocalSocket::ConnectionRefusedError || error == QLocalSocket::ServerNotFoundError
            ? HandOver::noServer
            : HandOver::noAnswer;
    }
    QByteArray message;
    {
        QDataStream out(&message, QIODevice::WriteOnly);
        out << arguments;
    }
    socket.write(QByteArray::number(message.size()) + '\n' + message);
    if (!socket.waitForBytesWritten(answerWaitMs))
        return HandOver::noAnswer;
    // Handed over only once the running program said so.
    while (socket.bytesAvailable() < acknowledgement.size()) {
        if (!socket.waitForReadyRead(answerWaitMs))
            return HandOver::noAnswer;
    }
    return socket.read(acknowledgement.size()) == acknowledgement ? HandOver::done : HandOver::noAnswer;
}

bool SingleInstance::listen()
{
    PrivateFile::ensureDir(QFileInfo(m_socketPath).absolutePath());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                // "<length>\n<QDataStream of the arguments>"; anything else is dropped.
                const QByteArray buffered = socket->peek(socket->bytesAvailable());
                const qsizetype lineEnd = buffered.indexOf('\n');
                if (lineEnd < 0) {
                    if (buffered.size() > 16)
                        socket->abort();
                    return;
                }
                bool ok = false;
                const qsizetype length = buffered.left(lineEnd).toLongLong(&ok);
                if (!ok || length < 0 || length > 1 << 20) {
                    socket->abort();
                    return;
                }
                if (buffered.size() < lineEnd + 1 + length)
                    return;
                socket->read(lineEnd + 1);
                QStringList arguments;
                QDataStream stream(socket->read(length));
                stream >> arguments;
                if (stream.status() != QDataStream::Ok) {
                    socket->abort();
                    return;
                }
                socket->write(acknowledgement);
                socket->flush();
                emit launchedAgain(arguments);
            });
        }
    });
    return true;
}
