#include "VoiceLocator.h"

#include "AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace VoiceLocator {

namespace {

constexpr auto scriptName = "kokoro_server.py";

bool isComplete(const VoiceAssets &assets)
{
    const QFileInfo python(assets.python);
    const QDir models(assets.models);
    return python.isFile() && python.isExecutable()
        && QFileInfo(models.filePath(QLatin1String(VoiceAssets::modelFile))).isFile()
        && QFileInfo(models.filePath(QLatin1String(VoiceAssets::voicesFile))).isFile();
}

} // namespace

std::optional<VoiceAssets> find()
{
    const QDir voice(AppPaths::voiceDir());
    QList<VoiceAssets> candidates = {
        {voice.filePath(QStringLiteral("venv/bin/python3")), voice.filePath(QStringLiteral("models"))}};
    const QString desktopPath = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!desktopPath.isEmpty()) {
        const QDir desktop(desktopPath);
        candidates.append({desktop.filePath(QStringLiteral("OrynSidebar/tts/bin/python3")),
                           desktop.filePath(QStringLiteral("OrynSidebar/kokoro_models"))});
    }
    for (const VoiceAssets &candidate : std::as_const(candidates)) {
        if (isComplete(candidate))
            return candidate;
    }
    return std::nullopt;
}

QString serverScript()
{
    const QDir program(QCoreApplication::applicationDirPath());
    QStringList places = {program.filePath(QLatin1String(scriptName)),
                          program.filePath(QStringLiteral("../share/kestrin-ai/") + QLatin1String(scriptName))};
#ifdef KESTRIN_RESOURCES_DIR
    places.append(QStringLiteral(KESTRIN_RESOURCES_DIR "/") + QLatin1String(scriptName));
#endif
    for (const QString &place : places) {
        if (QFileInfo(place).isFile())
            return QFileInfo(place).absoluteFilePath();
    }
    return {};
}

} // namespace VoiceLocator
