#include "ShellRunner.h"

#include "DebugLog.h"
#include "UserText.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QObject>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ShellRunner {

namespace {

/// Whether a byte stream is well-formed UTF-8 (no overlong forms, surrogates or values past
/// U+10FFFF), fed piece by piece: output is judged whole even though most of it is dropped.
class Utf8Check
{
public:
    void feed(const uchar *p, qsizetype size)
    {
        const uchar *const end = p + size;
        while (p < end && !m_bad) {
            if (m_pending == 0) {
                // Plain ASCII, eight bytes at a time: the usual output.
                while (end - p >= 8) {
                    quint64 word;
                    std::memcpy(&word, p, sizeof word);
                    if (word & 0x8080808080808080ULL)
                        break;
                    p += 8;
                }
                if (p == end)
                    break;
                start(*p++);
            } else {
                const uchar c = *p++;
                if (c < m_low || c > m_high)
                    m_bad = true;
                m_low = 0x80;
                m_high = 0xBF;
                --m_pending;
            }
        }
    }

    /// Whether everything fed so far was valid and no character is left unfinished.
    bool isValid() const { return !m_bad && m_pending == 0; }

private:
    void start(uchar c)
    {
        m_low = 0x80;
        m_high = 0xBF;
        if (c < 0x80)
            return;
        if (c >= 0xC2 && c <= 0xDF) {
            m_pending = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            m_pending = 2;
            if (c == 0xE0)
                m_low = 0xA0; // overlong
            else if (c == 0xED)
                m_high = 0x9F; // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            m_pending = 3;
            if (c == 0xF0)
                m_low = 0x90; // overlong
            else if (c == 0xF4)
                m_high = 0x8F; // past U+10FFFF
        } else {
            m_bad = true;
        }
    }

    int m_pending = 0; // continuation bytes still due
    uchar m_low = 0x80; // the range of the next continuation byte
    uchar m_high = 0xBF;
    bool m_bad = false;
};

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

/// One output stream: its start, kept for the reply and the log, and whether all of it decodes.
class Capture
{
public:
    void take(const char *data, qsizetype size)
    {
        m_check.feed(reinterpret_cast<const uchar *>(data), size);
        // Leading blanks would be trimmed anyway; they must not use up the kept bytes.
        if (m_kept.isEmpty()) {
            while (size > 0 && isAsciiSpace(*data)) {
                ++data;
                --size;
            }
        }
        const qsizetype room = keptBytes - m_kept.size();
        m_kept.append(data, qMin(room, size));
        m_cut = m_cut || size > room;
    }

    /// The stream as trimmed text; empty when any of it was not UTF-8.
    QString text() const
    {
        if (!m_check.isValid())
            return {};
        QByteArrayView kept = m_kept;
        if (m_cut)
            kept = withoutUnfinishedCharacter(kept);
        return QString::fromUtf8(kept).trimmed();
    }

private:
    /// The kept bytes end wherever the limit fell, maybe inside a character: that one goes.
    static QByteArrayView withoutUnfinishedCharacter(QByteArrayView bytes)
    {
        qsizetype continuation = 0;
        while (continuation < 3 && continuation < bytes.size()
               && (uchar(bytes[bytes.size() - 1 - continuation]) & 0xC0) == 0x80)
            ++continuation;
        const qsizetype lead = bytes.size() - 1 - continuation;
        if (lead < 0)
            return bytes;
        const uchar c = uchar(bytes[lead]);
        const qsizetype length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return continuation + 1 < length ? bytes.first(lead) : bytes;
    }

    QByteArray m_kept;
    bool m_cut = false;
    Utf8Check m_check;
};

/// Reads both pipes until each reaches its end, keeping what the reply needs.
void drain(int outFd, int errFd, Capture &out, Capture &err)
{
    const auto buffer = std::make_unique<char[]>(keptBytes);
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    Capture *captures[2] = {&out, &err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer.get(), keptBytes);
            if (n > 0) {
                captures[i]->take(buffer.get(), n);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fds[i].fd);
                fds[i].fd = -1; // poll skips it from now on
                --open;
            }
        }
    }
    for (const pollfd &p : fds) {
        if (p.fd >= 0)
            ::close(p.fd);
    }
}

/// The command's exit status; a death by signal N counts as 128 + N, as shells report it.
int waitForExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

QString replyFor(int status, const QString &out, const QString &err)
{
    if (status != 0) {
        return err.isEmpty() ? QStringLiteral("That command failed.")
                             : QStringLiteral("That failed: ") + UserText::leftPerceived(err, 200);
    }
    return out.isEmpty() ? QStringLiteral("Done.") : UserText::leftPerceived(out, 400);
}

/// Moves a descriptor out of 0...2, so that setting up the child's output cannot overwrite it
/// (possible only when this process was started with those closed).
int aboveStandardStreams(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

struct Child
{
    pid_t pid = 0;
    int out = -1; // read ends of the two pipes
    int err = -1;
};

/// Starts `shell -lc command` with its output on two new pipes; the error number if it fails.
/// posix_spawn reports a failed exec here, synchronously.
int launch(const QString &shell, const QString &command, Child &child)
{
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return errno;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        const int error = errno;
        for (int fd : outPipe)
            ::close(fd);
        return error;
    }
    for (int *fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]})
        *fd = aboveStandardStreams(*fd);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
        if (fd < 0) {
            const int error = errno;
            for (int open : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
                if (open >= 0)
                    ::close(open);
            }
            return error;
        }
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    // Signals the program ignores or blocks (a broken pipe, say) must not stay so in the
    // command: `yes | head` relies on the default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    QByteArray program = QFile::encodeName(shell);
    QByteArray option("-lc");
    QByteArray text = command.toUtf8();
    char *const argv[] = {program.data(), option.data(), text.data(), nullptr};
    const int error = ::posix_spawn(&child.pid, program.constData(), &actions, &attributes, argv, environ);

    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (error != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return error;
    }
    child.out = outPipe[0];
    child.err = errPipe[0];
    return 0;
}

/// Where a run hands its reply to the main thread. The receiver is a child of the caller's
/// context, so the reply dies with the context; the completion is only ever touched (and
/// destroyed) on the main thread.
struct Handoff
{
    std::mutex mutex;
    QObject *receiver = nullptr;
    std::function<void(const QString &)> completion;

    /// Called on the waiting thread.
    void deliver(const QString &reply, const std::shared_ptr<Handoff> &self)
    {
        const std::lock_guard lock(mutex);
        if (receiver)
            QMetaObject::invokeMethod(receiver, [self, reply] { self->complete(reply); }, Qt::QueuedConnection);
    }

    void complete(const QString &reply)
    {
        QObject *target = nullptr;
        std::function<void(const QString &)> done;
        {
            const std::lock_guard lock(mutex);
            target = std::exchange(receiver, nullptr);
            done = std::move(completion);
        }
        if (!target)
            return;
        // The completion may delete the context; the receiver (whose event this is) must
        // outlive this call, so it leaves the context first.
        target->setParent(nullptr);
        target->deleteLater();
        if (done)
            done(reply);
    }

    void forget()
    {
        std::function<void(const QString &)> dropped;
        const std::lock_guard lock(mutex);
        receiver = nullptr;
        dropped = std::move(completion);
    }
};

void watch(Child child, std::shared_ptr<Handoff> handoff)
{
    Capture out;
    Capture err;
    drain(child.out, child.err, out, err);
    const int status = waitForExit(child.pid);
    const QString outText = out.text();
    const QString errText = err.text();
    DebugLog::log(QStringLiteral("ShellRunner exit=%1 stdout=%2 stderr=%3")
                      .arg(QString::number(status), UserText::leftPerceived(outText, 200),
                           UserText::leftPerceived(errText, 200)));
    handoff->deliver(replyFor(status, outText, errText), handoff);
}

void failed(const QString &shell, int error, const std::function<void(const QString &)> &completion)
{
    const QString description = qt_error_string(error);
    DebugLog::log(QStringLiteral("ShellRunner failed to launch: %1: %2 (errno %3)")
                      .arg(shell, description, QString::number(error)));
    if (completion)
        completion(QStringLiteral("Couldn't run that: ") + description);
}

} // namespace

QString loginShell()
{
    const QByteArray shell = qgetenv("SHELL");
    struct stat st {};
    if (shell.startsWith('/') && ::stat(shell.constData(), &st) == 0 && S_ISREG(st.st_mode)
        && ::access(shell.constData(), X_OK) == 0)
        return QFile::decodeName(shell);
    return QStringLiteral("/bin/sh");
}

void run(const QString &command, QObject *context, std::function<void(const QString &reply)> completion)
{
    const QString shell = loginShell();
    DebugLog::log(QStringLiteral("ShellRunner running: ") + command);
    Child child;
    if (const int error = launch(shell, command, child)) {
        failed(shell, error, completion);
        return;
    }

    auto handoff = std::make_shared<Handoff>();
    handoff->receiver = new QObject(context ? context : QCoreApplication::instance());
    handoff->completion = std::move(completion);
    QObject::connect(handoff->receiver, &QObject::destroyed, [handoff] { handoff->forget(); });
    try {
        // No time limit: the thread lives exactly as long as the command and its output.
        std::thread(watch, child, handoff).detach();
    } catch (const std::system_error &e) {
        ::kill(child.pid, SIGKILL);
        ::close(child.out);
        ::close(child.err);
        waitForExit(child.pid);
        std::function<void(const QString &)> done = std::move(handoff->completion);
        delete handoff->receiver;
        failed(shell, e.code().value(), done);
    }
}

} // namespace ShellRunner
