#pragma once

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

namespace TestSupport {

/// The child is killed when the test process ends, however it ends. A test that the watchdog
/// aborts would otherwise leave its X server, sound server or program running, holding CTest's
/// output open until CTest's own time-out.
inline void diesWithTheTest(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

} // namespace TestSupport
