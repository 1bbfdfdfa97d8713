#pragma once

#include <QObject>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

class QJSEngine;
class QQmlEngine;
class UserDefaults;

/// The three user settings. Loaded once from the defaults store; every assignment is written
/// back at once. Readers (speech output, wake-word listener, command router) read a value when
/// they need it, so a change takes effect on its next use.
class SettingsStore : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QString kokoroVoice READ kokoroVoice WRITE setKokoroVoice NOTIFY kokoroVoiceChanged)
    Q_PROPERTY(bool shellCommandsEnabled READ shellCommandsEnabled WRITE setShellCommandsEnabled NOTIFY shellCommandsEnabledChanged)
    Q_PROPERTY(double wakeWordCommandTimeout READ wakeWordCommandTimeout WRITE setWakeWordCommandTimeout NOTIFY wakeWordCommandTimeoutChanged)
    Q_PROPERTY(QStringList availableKokoroVoices READ availableKokoroVoices CONSTANT)

public:
    static constexpr auto kokoroVoiceKey = "settings.kokoroVoice";
    static constexpr auto shellCommandsEnabledKey = "settings.shellCommandsEnabled";
    static constexpr auto wakeWordCommandTimeoutKey = "settings.wakeWordCommandTimeout";

    static constexpr auto defaultKokoroVoice = "am_michael";
    static constexpr bool defaultShellCommandsEnabled = true;
    static constexpr double defaultWakeWordCommandTimeout = 7.0;

    /// The program's store, on UserDefaults::standard(); created on first use, thread-safe.
    static SettingsStore *shared();
    /// For QML: the shared store, owned by C++.
    static SettingsStore *create(QQmlEngine *, QJSEngine *);

    /// A store on @p defaults, which must outlive it.
    explicit SettingsStore(UserDefaults &defaults, QObject *parent = nullptr);

    /// The nine neural voices offered in the settings window, in their display order.
    static QStringList availableKokoroVoices();

    QString kokoroVoice() const { return m_kokoroVoice; }
    bool shellCommandsEnabled() const { return m_shellCommandsEnabled; }
    /// Seconds the wake-word listener waits for a command after a bare wake word.
    double wakeWordCommandTimeout() const { return m_wakeWordCommandTimeout; }

    // Each setter writes the defaults store, also when the value is unchanged.
    void setKokoroVoice(const QString &voice);
    void setShellCommandsEnabled(bool enabled);
    void setWakeWordCommandTimeout(double seconds);

signals:
    void kokoroVoiceChanged();
    void shellCommandsEnabledChanged();
    void wakeWordCommandTimeoutChanged();

private:
    UserDefaults &m_defaults;
    QString m_kokoroVoice;
    bool m_shellCommandsEnabled;
    double m_wakeWordCommandTimeout;
};
