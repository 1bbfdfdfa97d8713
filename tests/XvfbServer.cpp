#include "XvfbServer.h"

#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>

XvfbServer::XvfbServer()
    : m_dir(QDir::tempPath() + QStringLiteral("/kestrin-xvfb-XXXXXX"))
{
}

XvfbServer::~XvfbServer()
{
    stop();
}

bool XvfbServer::isInstalled()
{
    for (const char *program : {"Xvfb", "xrandr", "xsetroot", "xcompmgr"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            return false;
    }
    return true;
}

bool XvfbServer::fail(const QString &message)
{
    m_error = message;
    QFile log(m_dir.filePath(QStringLiteral("xvfb.log")));
    if (log.open(QIODevice::ReadOnly)) {
        const QByteArray tail = log.readAll().right(2000);
        if (!tail.isEmpty())
            m_error += QStringLiteral("\nThe end of the server's log:\n") + QString::fromLocal8Bit(tail);
    }
    stop();
    return false;
}

bool XvfbServer::start(const QList<QSize> &screens, bool compositor)
{
    const std::chrono::milliseconds timeout = std::chrono::seconds(20);
    if (m_server.state() == QProcess::Running)
        return true;
    if (!m_dir.isValid() || !isInstalled() || screens.isEmpty())
        return fail(QStringLiteral("Xvfb, xrandr, xsetroot or xcompmgr is missing, or no private folder"));

    QSize root(0, 0);
    for (const QSize &screen : screens)
        root = QSize(root.width() + screen.width(), std::max(root.height(), screen.height()));
    m_server.setStandardErrorFile(m_dir.filePath(QStringLiteral("xvfb.log")));
    // The built-in fonts: no font package is needed.
    TestSupport::diesWithTheTest(m_server);
    m_server.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-fp"),
                    QStringLiteral("built-ins"), QStringLiteral("-screen"), QStringLiteral("0"),
                    QStringLiteral("%1x%2x24").arg(root.width()).arg(root.height())});
    const QDeadlineTimer deadline(timeout);
    if (!m_server.waitForStarted(int(deadline.remainingTime())))
        return fail(QStringLiteral("Xvfb did not start: %1").arg(m_server.errorString()));

    // The number arrives once the server accepts clients.
    QByteArray number;
    while (!number.contains('\n')) {
        if (m_server.state() != QProcess::Running || deadline.hasExpired())
            return fail(QStringLiteral("Xvfb did not report a display number"));
        m_server.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 100)));
        number += m_server.readAllStandardOutput();
    }
    m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

    if (screens.size() > 1 && !splitIntoMonitors(screens))
        return false;
    if (compositor) {
        m_compositor.setProcessEnvironment(environment());
        m_compositor.setStandardOutputFile(QProcess::nullDevice());
        m_compositor.setStandardErrorFile(m_dir.filePath(QStringLiteral("xcompmgr.log")));
        TestSupport::diesWithTheTest(m_compositor);
        m_compositor.start(QStringLiteral("xcompmgr"), {});
        if (!m_compositor.waitForStarted(int(deadline.remainingTime())) || !waitForCompositor(timeout))
            return fail(QStringLiteral("xcompmgr did not take over the screen"));
    }
    return true;
}

bool XvfbServer::splitIntoMonitors(const QList<QSize> &screens)
{
    // The first monitor takes the server's one output, which removes the automatic monitor that
    // spans the whole root; the others have none. The size in millimetres only has to be given.
    int x = 0;
    for (qsizetype i = 0; i < screens.size(); ++i) {
        const QSize size = screens.at(i);
        const QString geometry = QStringLiteral("%1/%2x%3/%4+%5+0")
                                     .arg(size.width()).arg(size.width() / 4)
                                     .arg(size.height()).arg(size.height() / 4).arg(x);
        const QString output = i == 0 ? QStringLiteral("screen") : QStringLiteral("none");
        if (!run(QStringLiteral("xrandr"),
                 {QStringLiteral("--setmonitor"), QStringLiteral("screen%1").arg(i), geometry, output}))
            return fail(m_error);
        x += size.width();
    }
    return true;
}

bool XvfbServer::waitForCompositor(std::chrono::milliseconds timeout)
{
    xcb_connection_t *connection = xcb_connect(m_display.toLatin1().constData(), nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    const QByteArray name = "_NET_WM_CM_S0";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()), nullptr);
    bool owned = false;
    const QDeadlineTimer deadline(timeout);
    while (atom && !owned && m_compositor.state() == QProcess::Running && !deadline.hasExpired()) {
        xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
        owned = owner && owner->owner != XCB_NONE;
        std::free(owner);
        if (!owned)
            QThread::msleep(20); // xcompmgr takes the selection within a moment of starting
    }
    std::free(atom);
    xcb_disconnect(connection);
    return owned;
}

void XvfbServer::stop()
{
    for (QProcess *process : {&m_compositor, &m_server}) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
}

QProcessEnvironment XvfbServer::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("DISPLAY"), m_display);
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return base;
}

bool XvfbServer::run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, arguments);
    const bool ok = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (!ok) {
        m_error = QStringLiteral("%1 %2 failed: %3 %4")
                      .arg(program, arguments.join(QLatin1Char(' ')), process.errorString(),
                           QString::fromLocal8Bit(process.readAllStandardError()));
    }
    return ok;
}

QImage XvfbServer::screenshot() const
{
    QProcess grab;
    grab.setProcessEnvironment(environment());
    const QString file = m_dir.filePath(QStringLiteral("screen.png"));
    QFile::remove(file);
    grab.start(QStringLiteral(KESTRIN_HELPER), {QStringLiteral("grab"), file});
    grab.waitForFinished(10000);
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}
