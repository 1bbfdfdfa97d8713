#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

/// A private PulseAudio server for tests that play or capture sound, so that no test touches the
/// machine's sound devices. The default output is sink "nullsink", which plays in real time into
/// nothing; the default input is source "fifomic", 16 kHz mono s16le PCM written to fifoPath(),
/// delivered bit-exact.
///
/// start() runs pulseaudio in a private folder with its own HOME and runtime folder (so it works
/// as root, without a display or D-Bus session), returns once it accepts clients, and points
/// PULSE_SERVER at it for this process and its later children. Start it before anything touches
/// Qt Multimedia: Qt connects to the sound server once. The destructor ends it.
class SoundServer
{
public:
    static constexpr auto sinkName = "nullsink";

    SoundServer();
    ~SoundServer();
    SoundServer(const SoundServer &) = delete;
    SoundServer &operator=(const SoundServer &) = delete;

    static bool isInstalled();

    /// @return false, with the reason in error(), when the server did not come up within 10 s.
    bool start();
    void stop();

    QString error() const { return m_error; }
    /// "unix:<socket>", the value given to PULSE_SERVER.
    QString serverAddress() const;
    QString fifoPath() const;
    /// Runs pactl against this server; @return whether it succeeded.
    bool pactl(const QStringList &arguments) const;

private:
    bool accepts() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_error;
    QByteArray m_previousServer;
    bool m_hadPreviousServer = false;
    bool m_exported = false;
};
