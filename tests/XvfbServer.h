#pragma once

#include <QImage>
#include <QList>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QTemporaryDir>

#include <chrono>

/// A private X server (Xvfb) for tests and benchmarks that need a real X11 display, so they run
/// the same with or without a desktop session and never touch the user's screen.
///
/// start() runs `Xvfb -displayfd 1 -noreset -nolisten tcp -screen 0 WxHx24` (the server picks a
/// free display number and reports it); -noreset keeps what clients set (root colour, monitors)
/// after they disconnect. Several screens become one desktop, side by side from the left,
/// top-aligned: one X screen as wide as all of them, cut into RandR monitors (Qt makes one
/// QScreen of each). Xinerama is not used: Xvfb puts every Xinerama head at 0,0. Optionally a
/// compositing manager (xcompmgr) runs; start() returns once it owns its selection.
/// The destructor (or stop()) ends both. Blocks the calling thread while starting and stopping.
class XvfbServer
{
public:
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer &) = delete;
    XvfbServer &operator=(const XvfbServer &) = delete;

    /// Whether Xvfb and the tools start() uses are installed.
    static bool isInstalled();

    /// @return false, with the reason in error(), when the server (or compositor) did not come up.
    bool start(const QList<QSize> &screens, bool compositor = false);
    void stop();

    QString error() const { return m_error; }
    /// ":N".
    QString display() const { return m_display; }
    /// @p base with DISPLAY pointing here and QT_QPA_PLATFORM=xcb, for a child process.
    QProcessEnvironment environment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;
    /// The whole screen as it is shown now (taken by the test helper, a client of this server);
    /// a null image when it could not be taken.
    QImage screenshot() const;
private:
    /// Runs an X client against this server; on failure error() says why.
    bool run(const QString &program, const QStringList &arguments);
    bool fail(const QString &message);
    bool splitIntoMonitors(const QList<QSize> &screens);
    bool waitForCompositor(std::chrono::milliseconds timeout);

    QTemporaryDir m_dir;
    QProcess m_server;
    QProcess m_compositor;
    QString m_display;
    QString m_error;
};
