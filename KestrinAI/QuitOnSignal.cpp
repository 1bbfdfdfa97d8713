#include "QuitOnSignal.h"

#include "DebugLog.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace QuitOnSignal {

namespace {
int pipeFds[2] = {-1, -1};

void onSignal(int number)
{
    // Only async-signal-safe work here: the event loop picks the byte up.
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
}
} // namespace

void install(std::initializer_list<int> signalNumbers)
{
    if (pipeFds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeFds) != 0)
        return;
    auto *notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char byte = 0;
        if (::read(pipeFds[0], &byte, 1) == 1)
            DebugLog::log(QStringLiteral("Received signal %1, quitting").arg(int(byte)));
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : signalNumbers)
        ::sigaction(number, &action, nullptr);
}

} // namespace QuitOnSignal
