#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <chrono>

/// A private PulseAudio server for tests that play or capture sound, so that no test touches
/// the machine's sound devices and every test sees the same three devices:
///  - sink "nullsink" (the default output): plays in real time into nothing;
///  - source "fifomic" (the default input): 16 kHz mono s16le PCM written to fifoPath(),
///    delivered bit-exact, like a microphone hearing exactly that;
///  - source "loopmic": what the null sink plays, remapped to mono (a loopback).
///
/// start() runs `pulseaudio --daemonize=no -n -F <file> --exit-idle-time=-1` in a private
/// folder with its own HOME and runtime folder, so it works as root, without a display and
/// without a D-Bus session; it returns once the server accepts clients, and points
/// PULSE_SERVER at it for this process (and the children it starts later). Start it before
/// anything in the process touches Qt Multimedia: Qt connects to the sound server once.
/// The destructor (or stop()) ends the server and restores PULSE_SERVER.
///
/// Test code: it blocks the calling thread while starting and stopping (under a second).
class SoundServer
{
public:
    static constexpr auto sinkName = "nullsink";
    static constexpr auto microphoneName = "fifomic";
    static constexpr auto loopbackName = "loopmic";

    SoundServer();
    ~SoundServer();
    SoundServer(const SoundServer &) = delete;
    SoundServer &operator=(const SoundServer &) = delete;

    /// Whether the pulseaudio program is installed.
    static bool isInstalled();

    /// @return false, with the reason in error(), when the server did not come up in time.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void stop();
    bool isRunning() const;

    QString error() const { return m_error; }
    /// "unix:<socket>", the value given to PULSE_SERVER.
    QString serverAddress() const;
    /// The FIFO the "fifomic" source reads.
    QString fifoPath() const;
    /// The server's own log (verbose enough to see failures in its configuration).
    QString logPath() const;
    qint64 processId() const { return m_process.processId(); }

    /// Runs pactl against this server; @p output receives its standard output.
    /// @return whether it ran and succeeded.
    bool pactl(const QStringList &arguments, QByteArray *output = nullptr) const;

private:
    bool accepts() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_error;
    QByteArray m_previousServer;
    bool m_hadPreviousServer = false;
    bool m_exported = false;
};
