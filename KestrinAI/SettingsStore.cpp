#include "SettingsStore.h"

#include "UserDefaults.h"

#include <QCoreApplication>
#include <QQmlEngine>

namespace {
const QString kokoroVoiceKey = QLatin1String(SettingsStore::kokoroVoiceKey);
const QString shellKey = QLatin1String(SettingsStore::shellCommandsEnabledKey);
const QString timeoutKey = QLatin1String(SettingsStore::wakeWordCommandTimeoutKey);
} // namespace

SettingsStore *SettingsStore::shared()
{
    static SettingsStore *store = [] {
        auto *s = new SettingsStore(UserDefaults::standard());
        // Lives until exit; moved to the main thread so QML and the UI can bind to it.
        if (auto *app = QCoreApplication::instance())
            s->moveToThread(app->thread());
        return s;
    }();
    return store;
}

SettingsStore *SettingsStore::create(QQmlEngine *, QJSEngine *)
{
    SettingsStore *store = shared();
    QQmlEngine::setObjectOwnership(store, QQmlEngine::CppOwnership);
    return store;
}

SettingsStore::SettingsStore(UserDefaults &defaults, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    // A voice outside the offered list is kept: the voice server decides what it can speak.
    , m_kokoroVoice(defaults.text(kokoroVoiceKey).value_or(QLatin1String(defaultKokoroVoice)))
    // Anything but a stored boolean (text, a number) reads as the default, true.
    , m_shellCommandsEnabled(defaults.boolean(shellKey).value_or(defaultShellCommandsEnabled))
{
    const double stored = defaults.number(timeoutKey).value_or(0.0);
    m_wakeWordCommandTimeout = stored > 0 ? stored : defaultWakeWordCommandTimeout;
}

QStringList SettingsStore::availableKokoroVoices()
{
    return {QStringLiteral("am_adam"),    QStringLiteral("am_echo"), QStringLiteral("am_eric"),
            QStringLiteral("am_fenrir"),  QStringLiteral("am_liam"), QStringLiteral("am_michael"),
            QStringLiteral("am_onyx"),    QStringLiteral("am_puck"), QStringLiteral("am_santa")};
}

void SettingsStore::setKokoroVoice(const QString &voice)
{
    const bool changed = voice != m_kokoroVoice;
    m_kokoroVoice = voice;
    m_defaults.set(kokoroVoiceKey, voice);
    if (changed)
        emit kokoroVoiceChanged();
}

void SettingsStore::setShellCommandsEnabled(bool enabled)
{
    const bool changed = enabled != m_shellCommandsEnabled;
    m_shellCommandsEnabled = enabled;
    m_defaults.set(shellKey, enabled);
    if (changed)
        emit shellCommandsEnabledChanged();
}

void SettingsStore::setWakeWordCommandTimeout(double seconds)
{
    const bool changed = seconds != m_wakeWordCommandTimeout;
    m_wakeWordCommandTimeout = seconds;
    m_defaults.set(timeoutKey, seconds);
    if (changed)
        emit wakeWordCommandTimeoutChanged();
}
