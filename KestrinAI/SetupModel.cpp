#include "SetupModel.h"

#include "AgentModel.h"
#include "OllamaClient.h"
#include "OllamaTypes.h"
#include "ScreenCapture.h"
#include "UserDefaults.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QtNumeric>

#include <cmath>
#include <limits>

static_assert(int(SetupModel::Access::granted) == int(PermissionState::granted));
static_assert(int(SetupModel::Access::notDetermined) == int(PermissionState::notDetermined));
static_assert(int(SetupModel::Access::denied) == int(PermissionState::denied));

AppNotifier *AppNotifier::shared()
{
    // Never destroyed: connections to it may outlive any component.
    static AppNotifier *const notifier = [] {
        auto *object = new AppNotifier;
        if (QCoreApplication *app = QCoreApplication::instance())
            object->moveToThread(app->thread());
        return object;
    }();
    return notifier;
}

/// One download in progress.
struct SetupModel::Download
{
    std::unique_ptr<PullStream> stream;
    PullTracker tracker;
};

namespace {

QString homePath(const QString &relative)
{
    return QDir::homePath() + relative;
}

/// Saturating, so a nonsensical size from the engine cannot overflow.
/// Posts voiceAccessGranted once: when told to, or at the latest when the last copy goes away
/// (a refresh whose answer is dropped because the model was destroyed meanwhile).
class GrantedPost
{
public:
    void post()
    {
        if (m_posted)
            return;
        m_posted = true;
        emit AppNotifier::shared()->voiceAccessGranted();
    }
    ~GrantedPost()
    {
        if (QCoreApplication::instance())
            post();
    }

private:
    bool m_posted = false;
};

} // namespace

// --- Locations ---

SetupModel::Locations SetupModel::defaultLocations()
{
    const QString unit = QStringLiteral("/systemd/user/ollama.service");
    const QString systemUnit = QStringLiteral("/systemd/system/ollama.service");
    Locations where;
    where.applications = {QStringLiteral("/Applications/Ollama.app"), homePath(QStringLiteral("/Applications/Ollama.app"))};
    where.userUnits = {
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + unit,
        QStringLiteral("/etc") + unit,
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + unit,
        QStringLiteral("/usr/local/lib") + unit,
        QStringLiteral("/usr/lib") + unit,
        QStringLiteral("/lib") + unit,
    };
    where.systemUnits = {
        QStringLiteral("/etc") + systemUnit,
        QStringLiteral("/usr/local/lib") + systemUnit,
        QStringLiteral("/usr/lib") + systemUnit,
        QStringLiteral("/lib") + systemUnit,
    };
    where.commandLines = {
        QStringLiteral("/opt/homebrew/bin/ollama"),
        QStringLiteral("/usr/local/bin/ollama"),
        QStringLiteral("/usr/bin/ollama"),
        homePath(QStringLiteral("/.local/bin/ollama")),
    };
    return where;
}

SetupModel::Platform SetupModel::systemPlatform()
{
    Platform platform;
    platform.locations = defaultLocations();
    platform.startProcess = [](const QString &program, const QStringList &arguments) {
        startDetachedQuietly(program, arguments); // a failed start shows as the engine not answering
    };
    platform.openUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    platform.openVoiceSettings = Permissions::openVoiceSettings;
    platform.requestScreenAccess = ScreenCapture::requestPermission;
    platform.openScreenSettings = ScreenCapture::openSettings;
    return platform;
}

std::optional<SetupModel::EngineApplication> SetupModel::ollamaApplication(const Locations &where)
{
    for (const QString &path : where.applications) {
        if (QFileInfo::exists(path))
            return EngineApplication{EngineApplication::Kind::bundle, path};
    }
    // A masked unit is a link to /dev/null, which is not a regular file.
    for (const QString &path : where.userUnits) {
        if (QFileInfo(path).isFile())
            return EngineApplication{EngineApplication::Kind::userUnit, path};
    }
    for (const QString &path : where.systemUnits) {
        if (QFileInfo(path).isFile())
            return EngineApplication{EngineApplication::Kind::systemUnit, path};
    }
    return std::nullopt;
}

std::optional<QUrl> SetupModel::ollamaAppURL(const Locations &where)
{
    if (const auto application = ollamaApplication(where))
        return QUrl::fromLocalFile(application->path);
    return std::nullopt;
}

std::optional<QString> SetupModel::ollamaCLIPath(const Locations &where)
{
    for (const QString &path : where.commandLines) {
        const QFileInfo info(path);
        if (info.isFile() && info.isExecutable())
            return path;
    }
    return std::nullopt;
}

bool SetupModel::startDetachedQuietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(QDir::homePath());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

QString SetupModel::statusText(const QString &status)
{
    if (status.startsWith(QLatin1String("pulling")))
        return QStringLiteral("Downloading");
    QString text;
    text.reserve(status.size());
    qsizetype i = 0;
    while (i < status.size()) {
        if (status.at(i).isSpace()) {
            text += status.at(i++);
            continue;
        }
        qsizetype end = i;
        while (end < status.size() && !status.at(end).isSpace())
            ++end;
        const qsizetype first = status.at(i).isHighSurrogate() && i + 1 < end ? 2 : 1;
        text += status.mid(i, first).toUpper();
        text += status.mid(i + first, end - i - first).toLower();
        i = end;
    }
    return text;
}

// --- The model ---

SetupModel::SetupModel(QObject *parent)
    : SetupModel(systemPlatform(), parent)
{
}

SetupModel::SetupModel(Platform platform, QObject *parent)
    : QObject(parent)
    , m_platform(std::move(platform))
    , m_voice(Permissions::voice())
    , m_screen(Permissions::screen())
{
    m_monitorTimer.setSingleShot(true);
    m_startTimer.setSingleShot(true);
    connect(&m_monitorTimer, &QTimer::timeout, this, [this] { monitorTick(m_monitorGeneration); });
    connect(&m_startTimer, &QTimer::timeout, this, [this] { checkStarted(m_startGeneration); });
}

// Ends the downloads with the model; their streams abort without a signal.
SetupModel::~SetupModel() = default;

void SetupModel::refresh(std::function<void()> done)
{
    setPermissions(Permissions::voice(), Permissions::screen());
    OllamaClient::installedModels(this, [this, done = std::move(done)](std::optional<QStringList> models) {
        applyModels(models);
        emit refreshed();
        if (done)
            done();
    });
}

void SetupModel::applyModels(const std::optional<QStringList> &models)
{
    if (models) {
        setOllama(OllamaState::running);
        setInstalled(OllamaClient::hasModel(ModelCatalog::text, *models),
                     OllamaClient::hasModel(ModelCatalog::vision, *models));
        return;
    }
    setInstalled(false, false);
    // The application is looked for first; the command-line program only without one.
    const bool installed = ollamaAppURL(m_platform.locations) || ollamaCLIPath(m_platform.locations);
    setOllama(installed ? OllamaState::notRunning : OllamaState::notInstalled);
}

// --- Monitoring ---

void SetupModel::startMonitoring(double intervalSeconds)
{
    Q_ASSERT(intervalSeconds >= 0);
    stopMonitoring();
    ++m_monitorGeneration;
    m_monitorInterval = std::chrono::milliseconds(std::llround(std::max(intervalSeconds, 0.0) * 1000));
    monitorTick(m_monitorGeneration);
}

void SetupModel::stopMonitoring()
{
    m_monitorTimer.stop();
    if (isMonitoring())
        ++m_monitorGeneration;
}

void SetupModel::monitorTick(quint64 generation)
{
    if (generation != m_monitorGeneration)
        return;
    // The next round is counted from the end of this one, so slow answers never pile up.
    refresh([this, generation] {
        if (generation == m_monitorGeneration)
            m_monitorTimer.start(m_monitorInterval);
    });
}

// --- Engine start ---

void SetupModel::startOllama()
{
    if (const auto application = ollamaApplication(m_platform.locations)) {
        switch (application->kind) {
        case EngineApplication::Kind::bundle:
            m_platform.openUrl(QUrl::fromLocalFile(application->path));
            break;
        case EngineApplication::Kind::userUnit:
            m_platform.startProcess(QStringLiteral("systemctl"), {QStringLiteral("--user"), QStringLiteral("start"), QStringLiteral("ollama")});
            break;
        case EngineApplication::Kind::systemUnit:
            // Never through sudo: the service manager decides whether this user may.
            m_platform.startProcess(QStringLiteral("systemctl"), {QStringLiteral("start"), QStringLiteral("ollama")});
            break;
        }
    } else if (const auto cli = ollamaCLIPath(m_platform.locations)) {
        m_platform.startProcess(*cli, {QStringLiteral("serve")});
    }

    ++m_startGeneration;
    setStartChecksLeft(std::max(m_platform.startChecks, 0));
    if (isStartingOllama())
        m_startTimer.start(m_platform.startCheckInterval);
}

void SetupModel::checkStarted(quint64 generation)
{
    refresh([this, generation] {
        if (generation != m_startGeneration)
            return;
        if (m_ollama == OllamaState::running)
            setStartChecksLeft(0);
        else
            setStartChecksLeft(m_startChecksLeft - 1);
        if (isStartingOllama())
            m_startTimer.start(m_platform.startCheckInterval);
    });
}

void SetupModel::openOllamaDownload()
{
    m_platform.openUrl(ollamaDownloadURL);
}

// --- Downloads ---

void SetupModel::pull(const QString &model)
{
    if (m_pulls.count(model) || m_ollama != OllamaState::running)
        return;

    setPullError(std::nullopt);
    m_progress.insert(model, 0.0);
    m_pullStatus.insert(model, QStringLiteral("Starting"));

    auto download = std::make_unique<Download>();
    download->stream = OllamaClient::pull(model);
    PullStream *stream = download->stream.get();
    connect(stream, &PullStream::progress, this, [this, model](const PullProgress &step) { onPullProgress(model, step); });
    connect(stream, &OllamaStream::finished, this, [this, model] { endPull(model, std::nullopt); });
    connect(stream, &OllamaStream::failed, this, [this, model](const OllamaError &error) { endPull(model, error); });
    m_pulls.emplace(model, std::move(download));

    emit progressChanged();
    emit pullStatusChanged();
    if (m_pulls.size() == 1)
        emit isPullingChanged();
}

void SetupModel::onPullProgress(const QString &model, const PullProgress &step)
{
    const auto entry = m_pulls.find(model);
    if (entry == m_pulls.end())
        return;
    Download &download = *entry->second;

    download.tracker.add(step);
    if (const std::optional<double> fraction = download.tracker.fraction(); fraction && m_progress.value(model) != *fraction) {
        m_progress.insert(model, *fraction);
        emit progressChanged();
    }

    const QString text = statusText(step.status);
    if (m_pullStatus.value(model) != text) {
        m_pullStatus.insert(model, text);
        emit pullStatusChanged();
    }
}

void SetupModel::endPull(const QString &model, std::optional<OllamaError> error)
{
    auto node = m_pulls.extract(model);
    if (node.empty())
        return;
    // The stream is inside its own signal: let it return before it goes.
    node.mapped()->stream.release()->deleteLater();

    if (!error && !node.mapped()->tracker.succeeded())
        error = OllamaError::transport(incompleteDownloadText);
    if (error)
        setPullError(QStringLiteral("Couldn't download ") + model + QStringLiteral(": ") + error->errorDescription());

    m_progress.remove(model);
    m_pullStatus.remove(model);
    emit progressChanged();
    emit pullStatusChanged();
    if (m_pulls.empty())
        emit isPullingChanged();
    refresh();
}

// --- Permissions ---

void SetupModel::requestVoice()
{
    if (Permissions::voice() == PermissionState::denied) {
        // The system will not ask again; only the settings can change it now.
        m_platform.openVoiceSettings();
        return;
    }
    // The notifier is the context: the news goes out even if this model is gone by then.
    Permissions::requestVoice(AppNotifier::shared(), [model = QPointer<SetupModel>(this)](bool granted) {
        if (!granted) {
            if (model)
                model->refresh();
            return;
        }
        // Posts after the refresh, or when it is dropped; at once without a model.
        auto post = std::make_shared<GrantedPost>();
        if (model)
            model->refresh([post] { post->post(); });
    });
}

void SetupModel::requestScreen()
{
    if (Permissions::screen() == PermissionState::notDetermined) {
        UserDefaults &store = defaults();
        if (!store.boolean(askedScreenAccessKey).value_or(false)) {
            store.set(askedScreenAccessKey, true);
            m_platform.requestScreenAccess();
        } else {
            // Asked once already: the system's prompt will not come again.
            m_platform.openScreenSettings();
        }
    } else {
        m_platform.openScreenSettings();
    }
    QTimer::singleShot(m_platform.screenRecheckDelay, this, [this] { refresh(); });
}

UserDefaults &SetupModel::defaults() const
{
    return m_platform.defaults ? *m_platform.defaults : UserDefaults::standard();
}

// --- State ---

QVariantMap SetupModel::progressMap() const
{
    QVariantMap map;
    for (auto it = m_progress.cbegin(); it != m_progress.cend(); ++it)
        map.insert(it.key(), it.value());
    return map;
}

QVariantMap SetupModel::pullStatusMap() const
{
    QVariantMap map;
    for (auto it = m_pullStatus.cbegin(); it != m_pullStatus.cend(); ++it)
        map.insert(it.key(), it.value());
    return map;
}

void SetupModel::setOllama(OllamaState state)
{
    if (state == m_ollama)
        return;
    const bool wasReady = engineReady();
    m_ollama = state;
    emit ollamaChanged();
    if (engineReady() != wasReady)
        emit engineReadyChanged();
}

void SetupModel::setInstalled(bool text, bool vision)
{
    const bool wasReady = engineReady();
    if (text != m_textInstalled) {
        m_textInstalled = text;
        emit textInstalledChanged();
    }
    if (vision != m_visionInstalled) {
        m_visionInstalled = vision;
        emit visionInstalledChanged();
    }
    if (engineReady() != wasReady)
        emit engineReadyChanged();
}

void SetupModel::setPermissions(PermissionState voice, PermissionState screen)
{
    if (voice != m_voice) {
        m_voice = voice;
        emit voiceChanged();
    }
    if (screen != m_screen) {
        m_screen = screen;
        emit screenChanged();
    }
}

void SetupModel::setPullError(const std::optional<QString> &error)
{
    if (error == m_pullError)
        return;
    m_pullError = error;
    emit pullErrorChanged();
}

void SetupModel::setStartChecksLeft(int checks)
{
    const bool wasStarting = isStartingOllama();
    m_startChecksLeft = checks;
    if (isStartingOllama() != wasStarting)
        emit isStartingOllamaChanged();
}
