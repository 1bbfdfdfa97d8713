#include "Permissions.h"

#include "ScreenCapture.h"
#include "SpeechRecognizer.h"

#include <QCoreApplication>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMutex>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>

namespace Permissions {

namespace {

QMutex sourcesMutex;
Sources overrideSources; // empty: the platform's

Sources current()
{
    const QMutexLocker lock(&sourcesMutex);
    return overrideSources.microphone ? overrideSources : platformSources();
}

} // namespace

Sources platformSources()
{
    Sources sources;
    sources.microphone = [] {
        return QMediaDevices::audioInputs().isEmpty() ? Authorization::denied : Authorization::authorized;
    };
    sources.speech = [] {
        return SpeechRecognizer::isModelInstalled() ? Authorization::authorized : Authorization::notDetermined;
    };
    sources.screenAllowed = [] { return ScreenCapture::hasPermission(); };
    // Nothing to ask on Linux: the answer is the state as it is now.
    sources.requestSpeech = [read = sources.speech](std::function<void(bool)> done) {
        done(read() == Authorization::authorized);
    };
    sources.requestMicrophone = [read = sources.microphone](std::function<void(bool)> done) {
        done(read() == Authorization::authorized);
    };
    return sources;
}

void setSources(const Sources &sources)
{
    const QMutexLocker lock(&sourcesMutex);
    overrideSources = sources;
}

PermissionState fromAuthorization(Authorization authorization)
{
    switch (authorization) {
    case Authorization::authorized:
        return PermissionState::granted;
    case Authorization::notDetermined:
        return PermissionState::notDetermined;
    case Authorization::restricted:
    case Authorization::denied:
        return PermissionState::denied;
    }
    return PermissionState::notDetermined;
}

PermissionState microphone()
{
    return fromAuthorization(current().microphone());
}

PermissionState speech()
{
    return fromAuthorization(current().speech());
}

PermissionState voice()
{
    const Sources sources = current();
    const PermissionState mic = fromAuthorization(sources.microphone());
    const PermissionState recognition = fromAuthorization(sources.speech());
    if (isGranted(mic) && isGranted(recognition))
        return PermissionState::granted;
    if (mic == PermissionState::denied || recognition == PermissionState::denied)
        return PermissionState::denied;
    return PermissionState::notDetermined;
}

PermissionState screen()
{
    return current().screenAllowed() ? PermissionState::granted : PermissionState::notDetermined;
}

void requestVoice(QObject *context, std::function<void(bool)> completion)
{
    const Sources sources = current();
    QPointer<QObject> guard(context);
    // Speech first, then the microphone; the answer goes back to the context's thread.
    sources.requestSpeech([sources, guard, completion](bool speechGranted) {
        sources.requestMicrophone([guard, completion, speechGranted](bool microphoneGranted) {
            const bool granted = speechGranted && microphoneGranted;
            // The answer may come on any thread: hop to the application's thread first and only
            // there look at the context, which lives (and dies) on it.
            QMetaObject::invokeMethod(QCoreApplication::instance(), [guard, completion, granted] {
                if (guard)
                    completion(granted);
            }, Qt::QueuedConnection);
        });
    });
}

void openVoiceSettings()
{
    // The first sound-settings tool this desktop has.
    const QList<QStringList> candidates{
        {QStringLiteral("gnome-control-center"), QStringLiteral("sound")},
        {QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio")},
        {QStringLiteral("pavucontrol")},
        {QStringLiteral("xfce4-mixer")},
    };
    for (const QStringList &command : candidates) {
        const QString program = QStandardPaths::findExecutable(command.first());
        if (!program.isEmpty()) {
            QProcess::startDetached(program, command.mid(1));
            return;
        }
    }
}

} // namespace Permissions
