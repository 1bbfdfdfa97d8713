#pragma once

// Shared by the libFuzzer targets: one QCoreApplication, private XDG folders, and the bytes of
// a stream cut three ways. A target reports a broken property through Fuzz::fail, which aborts
// so that libFuzzer keeps the input.

#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QDir>
#include <QHashFunctions>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace Fuzz {

/// Once per process: the log and every stored file go to a fresh folder on tmpfs when there is
/// one, and Qt's warnings (a malformed document is expected here) are dropped.
inline void init()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const QByteArray base = QDir(QStringLiteral("/dev/shm")).exists() ? "/dev/shm" : "/tmp";
    QByteArray home = base + "/kestrin-fuzz-XXXXXX";
    if (!mkdtemp(home.data()))
        std::abort();
    qputenv("XDG_DATA_HOME", home + "/data");
    qputenv("XDG_CONFIG_HOME", home + "/config");
    qputenv("XDG_CACHE_HOME", home + "/cache");
    for (const char *folder : {"/data", "/config", "/cache"})
        QDir().mkpath(QString::fromLocal8Bit(home + folder));
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtFatalMsg) {
            std::fprintf(stderr, "%s\n", qPrintable(message));
            std::abort();
        }
    });
    static int argc = 1;
    static char name[] = "kestrin-fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv); // lives until exit
}

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char *what)
{
    if (!ok)
        fail(what);
}

/// How a stream reaches its reader: whole, one byte at a time, or in pieces of 1 to 64 bytes
/// drawn from a generator seeded by the bytes themselves (so a crash replays).
enum class Cut { whole, bytes, random };
constexpr Cut cuts[] = {Cut::whole, Cut::bytes, Cut::random};

template<typename Feed>
void inPieces(QByteArrayView bytes, Cut cut, Feed &&feed)
{
    quint64 state = qHash(bytes, 0x9E3779B97F4A7C15ull) | 1;
    qsizetype at = 0;
    while (at < bytes.size()) {
        qsizetype size = bytes.size() - at;
        if (cut == Cut::bytes) {
            size = 1;
        } else if (cut == Cut::random) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            size = qMin<qsizetype>(size, qsizetype(state % 64) + 1);
        }
        if (!feed(QByteArray(bytes.data() + at, size)))
            return; // the reader is done
        at += size;
    }
}

/// The input as text: UTF-8 (invalid sequences become U+FFFD), and again as raw UTF-16 code
/// units, which reaches lone surrogates and every other code unit.
inline QString utf8(QByteArrayView bytes)
{
    return QString::fromUtf8(bytes);
}

inline QString utf16(QByteArrayView bytes)
{
    return QString(reinterpret_cast<const QChar *>(bytes.data()), bytes.size() / 2);
}

} // namespace Fuzz

/// libFuzzer's once-per-process hook: Fuzz::init().
#define KESTRIN_FUZZ_INITIALIZE                                                                    \
    extern "C" int LLVMFuzzerInitialize(int *, char ***)                                           \
    {                                                                                              \
        Fuzz::init();                                                                              \
        return 0;                                                                                  \
    }
