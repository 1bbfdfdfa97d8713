#pragma once

#include "Permissions.h"

#include <QMap>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class OllamaError;
class PullStream;
class UserDefaults;
struct PullProgress;

/// The program's in-process notifications: one application-wide object whose signals anyone may
/// connect to. Lives on the main thread for the whole run.
class AppNotifier : public QObject
{
    Q_OBJECT

public:
    /// The notification's name, as log lines and other components refer to it.
    static inline const QString voiceAccessGrantedName = QStringLiteral("KestrinAI.voiceAccessGranted");

    static AppNotifier *shared();

signals:
    /// A voice request ended with the microphone and speech recognition both granted.
    void voiceAccessGranted();

private:
    AppNotifier() = default;
};

/// The live picture of whether the program can work: the local engine's state, whether the two
/// catalogue models are installed, the model downloads under way, and the voice and screen
/// permissions. It also carries out the setup actions: start the engine, open its download
/// page, download a model, ask for the permissions.
///
/// One per process, owned by the orchestrator; everything runs on the main thread. The engine is
/// asked again every few seconds while monitoring runs. Downloads belong to the model: they end
/// when the model is destroyed, and never otherwise.
class SetupModel : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The setup model belongs to the application")
    Q_PROPERTY(OllamaState ollama READ ollama NOTIFY ollamaChanged)
    Q_PROPERTY(bool textInstalled READ textInstalled NOTIFY textInstalledChanged)
    Q_PROPERTY(bool visionInstalled READ visionInstalled NOTIFY visionInstalledChanged)
    Q_PROPERTY(QVariantMap progress READ progressMap NOTIFY progressChanged)
    Q_PROPERTY(QVariantMap pullStatus READ pullStatusMap NOTIFY pullStatusChanged)
    Q_PROPERTY(QString pullError READ pullErrorText NOTIFY pullErrorChanged)
    Q_PROPERTY(Access voice READ voiceAccess NOTIFY voiceChanged)
    Q_PROPERTY(Access screen READ screenAccess NOTIFY screenChanged)
    Q_PROPERTY(bool engineReady READ engineReady NOTIFY engineReadyChanged)
    Q_PROPERTY(bool isPulling READ isPulling NOTIFY isPullingChanged)
    Q_PROPERTY(bool isStartingOllama READ isStartingOllama NOTIFY isStartingOllamaChanged)

public:
    enum class OllamaState {
        checking,     ///< until the first refresh completes
        running,      ///< the engine answered the list of models
        notRunning,   ///< no answer, but the engine is installed
        notInstalled, ///< no answer, and neither an application nor a command-line program
    };
    Q_ENUM(OllamaState)

    /// PermissionState for the views, value for value.
    enum class Access { granted, notDetermined, denied };
    Q_ENUM(Access)

    /// Where the engine may be installed. Each list is searched in order; existence is checked
    /// on every use, so an engine installed while the program runs is found.
    struct Locations
    {
        /// Application bundles: the first that exists is the engine's application.
        QStringList applications;
        /// Unit files of a systemd user unit named ollama; started with `systemctl --user`.
        QStringList userUnits;
        /// Unit files of a system unit named ollama; started with the user's own rights.
        QStringList systemUnits;
        /// The command-line program: the first that is an executable file.
        QStringList commandLines;
    };

    /// The engine's application, in the order applications, user units, system units.
    struct EngineApplication
    {
        enum class Kind { bundle, userUnit, systemUnit };
        Kind kind;
        QString path;
    };

    /// What the model does to the outside world, replaceable for tests.
    struct Platform
    {
        Locations locations;
        /// Starts a program that is never waited for, its output discarded.
        std::function<void(const QString &program, const QStringList &arguments)> startProcess;
        /// Hands an address to the desktop (the browser, or the application of a bundle).
        std::function<void(const QUrl &url)> openUrl;
        std::function<void()> openVoiceSettings;
        /// Asks for screen recording; the answer is read again later.
        std::function<bool()> requestScreenAccess;
        std::function<void()> openScreenSettings;
        /// Where "askedScreenAccess" is kept; nullptr is UserDefaults::standard().
        UserDefaults *defaults = nullptr;
        /// After startOllama: this many checks, this far apart.
        std::chrono::milliseconds startCheckInterval{1000};
        int startChecks = 10;
        /// After a screen request, the state is read again this much later.
        std::chrono::milliseconds screenRecheckDelay{1500};
    };

    static inline const QString askedScreenAccessKey = QStringLiteral("askedScreenAccess");
    /// The engine's download page: the one outside address the program ever hands anywhere, and
    /// only when the user asks for it.
    static inline const QUrl ollamaDownloadURL = QUrl(QStringLiteral("https://ollama.com/download/linux"));
    /// A download whose stream ended without the engine's "success" (the engine reports a
    /// rejected name inside the stream, which carries no status).
    static inline const QString incompleteDownloadText = QStringLiteral("The download ended before it was complete.");
    static constexpr double defaultMonitoringInterval = 6.0;

    /// Bundles, then user units, then system units, then command-line programs, each in the
    /// order given here:
    /// - applications: /Applications/Ollama.app, ~/Applications/Ollama.app
    /// - user units: ollama.service in $XDG_CONFIG_HOME/systemd/user, /etc/systemd/user,
    ///   $XDG_DATA_HOME/systemd/user, /usr/local/lib/systemd/user, /usr/lib/systemd/user,
    ///   /lib/systemd/user
    /// - system units: ollama.service in /etc/systemd/system, /usr/local/lib/systemd/system,
    ///   /usr/lib/systemd/system, /lib/systemd/system
    /// - command lines: /opt/homebrew/bin/ollama, /usr/local/bin/ollama, /usr/bin/ollama,
    ///   ~/.local/bin/ollama
    static Locations defaultLocations();
    /// The machine's own: default locations, detached processes, the desktop's URL handler, the
    /// permission pages.
    static Platform systemPlatform();

    static std::optional<EngineApplication> ollamaApplication(const Locations &where = defaultLocations());
    /// The engine's application as a file address, if there is one.
    static std::optional<QUrl> ollamaAppURL(const Locations &where = defaultLocations());
    static std::optional<QString> ollamaCLIPath(const Locations &where = defaultLocations());

    /// Starts @p program detached, its input, output and error on the null device.
    /// @return false when it could not be started.
    static bool startDetachedQuietly(const QString &program, const QStringList &arguments);
    /// The status shown for one download step: "Downloading" for the engine's "pulling ..."
    /// steps, otherwise each word capitalised ("writing manifest" -> "Writing Manifest").
    static QString statusText(const QString &status);

    explicit SetupModel(QObject *parent = nullptr);
    explicit SetupModel(Platform platform, QObject *parent = nullptr);
    ~SetupModel() override;

    OllamaState ollama() const { return m_ollama; }
    bool textInstalled() const { return m_textInstalled; }
    bool visionInstalled() const { return m_visionInstalled; }
    /// Download fraction, 0 to 1, of each model being downloaded.
    QMap<QString, double> progress() const { return m_progress; }
    /// Short status text of each model being downloaded.
    QMap<QString, QString> pullStatus() const { return m_pullStatus; }
    /// The last download failure, until the next download is accepted.
    std::optional<QString> pullError() const { return m_pullError; }
    PermissionState voice() const { return m_voice; }
    PermissionState screen() const { return m_screen; }
    /// The engine runs and the text model is installed; the vision model does not count.
    bool engineReady() const { return m_ollama == OllamaState::running && m_textInstalled; }
    bool isPulling() const { return !m_pulls.empty(); }
    /// startOllama is still waiting for the engine to answer.
    bool isStartingOllama() const { return m_startChecksLeft > 0; }
    bool isMonitoring() const { return m_monitorGeneration % 2 == 1; }
    const Platform &platform() const { return m_platform; }

    /// Reads the permissions, then asks the engine for its models (at most 2.5 s) and updates
    /// the state; @p done runs afterwards, unless the model is gone by then.
    void refresh(std::function<void()> done);
    Q_INVOKABLE void refresh() { refresh({}); }

    /// Refreshes now and then every @p intervalSeconds after each refresh ends, until stopped or
    /// restarted. The interval must not be negative.
    void startMonitoring(double intervalSeconds = defaultMonitoringInterval);
    void stopMonitoring();

    /// Starts the engine's application or its command-line server, then checks once a second,
    /// up to ten times, until the engine answers.
    Q_INVOKABLE void startOllama();
    Q_INVOKABLE void openOllamaDownload();
    /// Downloads @p model while the engine runs; a model already downloading is not started again.
    Q_INVOKABLE void pull(const QString &model);
    Q_INVOKABLE void requestVoice();
    Q_INVOKABLE void requestScreen();

signals:
    void ollamaChanged();
    void textInstalledChanged();
    void visionInstalledChanged();
    void progressChanged();
    void pullStatusChanged();
    void pullErrorChanged();
    void voiceChanged();
    void screenChanged();
    void engineReadyChanged();
    void isPullingChanged();
    void isStartingOllamaChanged();
    /// A refresh has updated the state.
    void refreshed();

private:
    struct Download;

    void applyModels(const std::optional<QStringList> &models);
    void monitorTick(quint64 generation);
    void checkStarted(quint64 generation);
    void onPullProgress(const QString &model, const PullProgress &step);
    void endPull(const QString &model, std::optional<OllamaError> error);

    QVariantMap progressMap() const;
    QVariantMap pullStatusMap() const;
    QString pullErrorText() const { return m_pullError.value_or(QString()); }
    Access voiceAccess() const { return Access(int(m_voice)); }
    Access screenAccess() const { return Access(int(m_screen)); }

    void setOllama(OllamaState state);
    void setInstalled(bool text, bool vision);
    void setPermissions(PermissionState voice, PermissionState screen);
    void setPullError(const std::optional<QString> &error);
    void setStartChecksLeft(int checks);
    UserDefaults &defaults() const;

    Platform m_platform;

    OllamaState m_ollama = OllamaState::checking;
    bool m_textInstalled = false;
    bool m_visionInstalled = false;
    QMap<QString, double> m_progress;
    QMap<QString, QString> m_pullStatus;
    std::optional<QString> m_pullError;
    PermissionState m_voice;
    PermissionState m_screen;

    std::map<QString, std::unique_ptr<Download>> m_pulls;

    QTimer m_monitorTimer;
    quint64 m_monitorGeneration = 0; // odd while monitoring; each start or stop moves it on
    std::chrono::milliseconds m_monitorInterval{6000};

    QTimer m_startTimer;
    quint64 m_startGeneration = 0; // a newer startOllama takes over the checks
    int m_startChecksLeft = 0;
};
