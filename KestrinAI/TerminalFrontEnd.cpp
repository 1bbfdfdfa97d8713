#include "TerminalFrontEnd.h"

#include "AgentModel.h"
#include "AppInfo.h"
#include "AppPaths.h"
#include "ChatViewModel.h"
#include "CommandRouter.h"
#include "ConversationStore.h"
#include "FileAudioEngine.h"
#include "Gazetteer.h"
#include "MapWindowController.h"
#include "MicrophoneAudioEngine.h"
#include "OllamaClient.h"
#include "OllamaTypes.h"
#include "Permissions.h"
#include "QuitOnSignal.h"
#include "SettingsStore.h"
#include "SetupModel.h"
#include "SpeechManager.h"
#include "SpeechOutput.h"
#include "SpeechRecognizer.h"
#include "SpeechSynthesizer.h"
#include "SystemVoice.h"
#include "WakeWordListener.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QQuickWindow>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace TerminalFrontEnd {

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

/// A voice for a session that never speaks.
class NoVoice : public SpeechSynthesizer
{
public:
    void say(const QString &) override { }
    void stop() override { }
};

/// One typed request through the program's chat session, its reply streamed as it arrives.
int ask(const QString &text, bool kestrin)
{
    auto *speech = new SpeechManager(std::make_unique<FileAudioEngine>(), [](const QString &) { return nullptr; },
                                     new SpeechOutput(new NoVoice, std::chrono::seconds(1), nullptr, SpeechOutput::NeuralVoice::off));
    // A terminal has no screen to show the vision agent: its request goes without a picture.
    ChatViewModel chat(speech, [](QObject *, std::function<void(std::optional<QString>)> done) { done(std::nullopt); });
    QEventLoop loop;
    QObject::connect(&chat, &ChatViewModel::savedConversationLoaded, &loop, &QEventLoop::quit);
    loop.exec(); // the history goes with the request

    ChatMessageList *messages = chat.messageList();
    int replyRow = -1;
    qsizetype printed = 0;
    std::optional<QString> failure;
    const auto printNew = [&] {
        if (replyRow < 0 || replyRow >= messages->count())
            return;
        const QString reply = messages->messages().at(replyRow).text();
        if (failure && reply.endsWith(*failure))
            return; // the error goes to standard error instead
        out() << reply.mid(printed);
        out().flush();
        printed = reply.size();
    };
    QObject::connect(messages, &QAbstractItemModel::rowsInserted, &loop, [&](const QModelIndex &, int first) {
        if (first > 0 && messages->messages().at(first).role() == ChatMessage::Role::assistant) {
            replyRow = first;
            printNew();
        }
    });
    QObject::connect(messages, &QAbstractItemModel::dataChanged, &loop, printNew);
    QObject::connect(&chat, &ChatViewModel::requestFailed, &loop, [&](const QString &description) { failure = description; });
    const auto idle = [&] { return !chat.isThinking() && !chat.isStreaming() && !chat.hasCurrentTask(); };
    QObject::connect(&chat, &ChatViewModel::isThinkingChanged, &loop, [&] { if (idle()) loop.quit(); });
    QObject::connect(&chat, &ChatViewModel::isStreamingChanged, &loop, [&] { if (idle()) loop.quit(); });

    chat.sendDirect(text, kestrin ? AgentModel::kestrin : AgentModel::oryn, false, false, false);
    if (!idle())
        loop.exec();
    ConversationStore::waitForPendingSaves();
    if (failure) {
        if (printed > 0)
            out() << Qt::endl;
        err() << *failure << Qt::endl;
        return 1;
    }
    out() << Qt::endl;
    return 0;
}

int status()
{
    QEventLoop loop;
    std::optional<QStringList> installed;
    OllamaClient::installedModels(&loop, [&](std::optional<QStringList> models) {
        installed = std::move(models);
        loop.quit();
    });
    loop.exec();
    const QString address = OllamaClient::baseURL().toString();
    if (!installed) {
        out() << "Engine: not answering at " << address << Qt::endl;
        err() << OllamaError::unreachable().errorDescription() << Qt::endl;
        return 1;
    }
    out() << "Engine: running at " << address << Qt::endl;
    const auto model = [&](const QString &name, const char *role) {
        const bool present = OllamaClient::hasModel(name, *installed);
        out() << name << " (" << role << "): " << (present ? "installed" : "not installed") << Qt::endl;
        return present;
    };
    const bool text = model(ModelCatalog::text, "text");
    const bool vision = model(ModelCatalog::vision, "vision");
    return text && vision ? 0 : 2;
}

int pull(const QString &name)
{
    std::unique_ptr<PullStream> stream = OllamaClient::pull(name);
    PullTracker tracker;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    int status = 0;
    QString lastLine;
    QObject::connect(stream.get(), &PullStream::progress, &loop, [&](const PullProgress &step) {
        tracker.add(step);
        const qint64 total = tracker.total();
        const qint64 completed = tracker.completed();
        QString line = SetupModel::statusText(step.status);
        if (total > 0) {
            const int percent = int(100.0 * double(completed) / double(total));
            const int filled = percent / 5;
            const double seconds = std::max(0.001, double(clock.elapsed()) / 1000.0);
            line += QStringLiteral(" [%1%2] %3% %4 / %5 %6/s")
                        .arg(QString(filled, u'#'), QString(20 - filled, u'.'))
                        .arg(percent, 3)
                        .arg(byteText(completed), byteText(total), byteText(qint64(double(completed) / seconds)));
        }
        if (line != lastLine) {
            // One line rewritten in place on a terminal; a line each when piped.
            out() << (isatty(fileno(stdout)) ? "\r\033[K" : "") << line;
            if (!isatty(fileno(stdout)))
                out() << '\n';
            out().flush();
            lastLine = line;
        }
    });
    QObject::connect(stream.get(), &OllamaStream::finished, &loop, [&] {
        if (!tracker.succeeded()) { // the engine ends a refused name's stream normally, with an error line
            err() << "\nCouldn't download " << name << ": The download ended before it was complete." << Qt::endl;
            status = 1;
        } else {
            out() << Qt::endl;
        }
        loop.quit();
    });
    QObject::connect(stream.get(), &OllamaStream::failed, &loop, [&](const OllamaError &error) {
        err() << "\nCouldn't download " << name << ": " << error.errorDescription() << Qt::endl;
        status = 1;
        loop.quit();
    });
    loop.exec();
    return status;
}

int usage(const char *text)
{
    err() << "usage: kestrin-ai " << text << Qt::endl;
    return 64;
}

/// The samples of a 16 kHz mono 16-bit WAV file, or nothing with the reason on standard error.
std::optional<QByteArray> readWav(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "Can't read " << path << ": " << file.errorString() << Qt::endl;
        return std::nullopt;
    }
    QString why = QStringLiteral("not a WAV file");
    // The file input takes headerless samples too; a file named here must say what it holds.
    std::optional<QByteArray> samples = file.peek(4) == "RIFF" ? FileAudioEngine::readPcm(path, &why) : std::nullopt;
    if (!samples)
        err() << path << ": " << why << " (a 16 kHz mono 16-bit PCM WAV file is needed)" << Qt::endl;
    return samples;
}

/// The program's wake-word listener, its callbacks printed as they come. A file is played in
/// real time, so the listener's timers see what they would see from the microphone.
int listen(const QStringList &words)
{
    const bool fromFile = words.value(0) == QLatin1String("--wav");
    if (!words.isEmpty() && (!fromFile || words.size() != 2 || words.at(1).isEmpty()))
        return usage("listen [--wav FILE]");

    std::unique_ptr<WakeWordListener> listener;
    FileAudioEngine *file = nullptr;
    if (fromFile) {
        const std::optional<QByteArray> samples = readWav(words.at(1));
        if (!samples)
            return 1;
        auto engine = std::make_unique<FileAudioEngine>();
        engine->setPcm(*samples);
        engine->setTrailingSilence(std::chrono::seconds(1)); // the speaker pauses after the file
        file = engine.get();
        // The file stands in for the microphone; speech access stays the machine's answer.
        Permissions::Sources sources = Permissions::platformSources();
        sources.microphone = [] { return Permissions::Authorization::authorized; };
        Permissions::setSources(sources);
        listener = std::make_unique<WakeWordListener>(std::move(engine),
                                                      [](const QString &locale) { return SpeechRecognizer::create(locale); });
    } else {
        listener = std::make_unique<WakeWordListener>();
    }

    const auto line = [](const QString &text) { out() << text << Qt::endl; };
    listener->onWake = [&](WakeWord word, const QString &command) { line(QStringLiteral("wake %1 %2").arg(word.rawValue(), command)); };
    listener->onWakeWordHeard = [&](WakeWord word) { line(QStringLiteral("heard ") + word.rawValue()); };
    listener->onWakeWordGaveUp = [&] { line(QStringLiteral("gave-up")); };

    QObject context;
    int status = 0;
    const auto fail = [&](const QString &why) {
        err() << "Can't listen: " << why << Qt::endl;
        status = 1;
        QCoreApplication::quit();
    };
    // The file is over once the run that heard its end has finished: every run ends in a
    // restart, so the next run's start means the last utterance has settled.
    qint64 listening = -1; // the run whose request the audio feeds now
    std::optional<qint64> lastRun;
    QObject::connect(listener.get(), &WakeWordListener::runStarted, &context, [&](qint64 generation) {
        listening = generation;
        if (lastRun && generation > *lastRun)
            QCoreApplication::quit();
    });
    if (file) {
        QObject::connect(file, &FileAudioEngine::finished, &context, [&] {
            if (listener->generation() != listening) {
                QCoreApplication::quit(); // between runs: nothing of the file is still being heard
                return;
            }
            lastRun = listening;
            listener->endOfInput();
        });
    } else if (auto *microphone = qobject_cast<MicrophoneAudioEngine *>(listener->audioEngine())) {
        QObject::connect(microphone, &MicrophoneAudioEngine::errorOccurred, &context,
                         [&](const QString &message) { fail(QStringLiteral("the microphone stopped: ") + message); });
    }
    QObject::connect(listener.get(), &WakeWordListener::isActiveChanged, &context, [&] {
        if (!listener->isActive())
            fail(QStringLiteral("speech recognition stopped working (see %1)").arg(AppPaths::log()));
    });

    QuitOnSignal::install({SIGINT, SIGTERM});
    if (!listener->start()) {
        err() << "Can't listen: "
              << (isGranted(Permissions::microphone()) ? "the speech model is not installed (Debian package pocketsphinx-en-us)"
                                                        : "no microphone was found")
              << Qt::endl;
        return 1;
    }
    if (!listener->isActive()) {
        err() << "Can't listen: speech recognition is unavailable (see " << AppPaths::log() << ")" << Qt::endl;
        return 1;
    }
    if (!file && !listener->audioEngine()->isRunning()) {
        err() << "Can't listen: the microphone could not be opened" << Qt::endl;
        return 1;
    }
    if (!file)
        err() << "Listening for \"hey oryn\", \"hey tarvik\" and \"hey kestrin\"; Ctrl+C ends." << Qt::endl;
    QCoreApplication::exec(); // the application's own loop: the one Ctrl+C ends
    listener->onWake = nullptr;
    listener->onWakeWordHeard = nullptr;
    listener->onWakeWordGaveUp = nullptr;
    listener->disconnect(&context);
    listener->stop();
    return status;
}

/// The program's system voice, noting what it is asked: whether a reply took it, and when the
/// neural voice gave up (the speaker then readies the system voice).
class NotingVoice final : public SpeechSynthesizer
{
public:
    bool prepared = false;
    bool asked = false;
    std::function<void()> onPrepare;

    NotingVoice()
        : m_voice(new SystemVoice(this))
    {
        connect(m_voice, &SpeechSynthesizer::started, this, &SpeechSynthesizer::started);
        connect(m_voice, &SpeechSynthesizer::finished, this, &SpeechSynthesizer::finished);
    }
    void prepare() override
    {
        prepared = true;
        m_voice->prepare();
        if (onPrepare)
            onPrepare();
    }
    void say(const QString &text) override
    {
        asked = true;
        m_voice->say(text);
    }
    void stop() override { m_voice->stop(); }

private:
    SpeechSynthesizer *m_voice;
};

/// One reply spoken as the program speaks it, once the neural voice is ready or known absent.
int say(const QString &text)
{
    if (SpeechOutput::cleanedText(text).isEmpty())
        return usage("say TEXT");
    constexpr std::chrono::seconds limit{60}; // for the voice to get ready, and again to start
    auto *voice = new NotingVoice;
    // Beside a running program: its clips are not ours to clear.
    auto *output = new SpeechOutput(voice, NeuralVoiceServer::defaultRestartDelayUnit, nullptr,
                                    SpeechOutput::NeuralVoice::startKeepingClips);
    auto speech = std::make_unique<SpeechManager>(std::make_unique<FileAudioEngine>(), [](const QString &) { return nullptr; }, output);

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!voice->prepared && !output->isNeuralVoiceReady()) {
        voice->onPrepare = [&] { loop.quit(); };
        QObject::connect(output, &SpeechOutput::neuralVoiceReadyChanged, &loop, &QEventLoop::quit);
        deadline.start(limit);
        loop.exec();
        voice->onPrepare = nullptr;
        output->disconnect(&loop);
    }

    bool spoke = false;
    QObject::connect(speech.get(), &SpeechManager::isSpeakingChanged, &loop, [&] {
        if (speech->isSpeaking() && !spoke) {
            spoke = true;
            deadline.stop(); // both voices end a reply by themselves, however long
            // Known only now: a neural reply that fails is spoken by the system voice.
            if (voice->asked)
                out() << "system voice (speech-dispatcher)" << Qt::endl;
            else
                out() << "neural voice (" << SettingsStore::shared()->kokoroVoice() << ")" << Qt::endl;
        } else if (!speech->isSpeaking()) {
            loop.quit();
        }
    });
    speech->speak(text);
    deadline.start(limit);
    loop.exec();
    speech->shutdown();
    if (!spoke) {
        err() << "Nothing was spoken: no voice started within " << limit.count() << " s (see " << AppPaths::log() << ")" << Qt::endl;
        // Left to the exit: a system voice stuck in a speech-dispatcher call would hold its
        // destructor for ever.
        speech.release();
        return 1;
    }
    return 0;
}

/// A place looked up as a map request does, printed, and shown on the globe unless @p print.
int map(QStringList words)
{
    const bool print = words.removeAll(QStringLiteral("--print")) > 0;
    const QString place = words.join(u' ').trimmed();
    if (place.isEmpty())
        return usage("map PLACE [--print]");
    if (!print && !qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        err() << "No display to show the globe on; add --print to print the place only." << Qt::endl;
        return 1;
    }
    std::optional<Placemark> found;
    const MapWindowController::Geocoder lookUp = [&found](const QString &text, QObject *context,
                                                           std::function<void(std::optional<Placemark>)> done) {
        Gazetteer::shared().geocode(text, context, [&found, done = std::move(done)](std::optional<Placemark> placemark) {
            found = placemark;
            done(std::move(placemark));
        });
    };
    QuitOnSignal::install({SIGINT, SIGTERM});
    QEventLoop loop;
    std::unique_ptr<MapWindowController> globe;
    if (print) {
        lookUp(place, &loop, [&](const std::optional<Placemark> &) { loop.quit(); });
    } else {
        globe = std::make_unique<MapWindowController>(lookUp);
        globe->show(place, [&](bool) { loop.quit(); });
    }
    loop.exec();
    if (!found) {
        err() << CommandRouter::mapNotFoundReply(place) << Qt::endl;
        return 1;
    }
    const auto degrees = [](double value) { return QString::number(value, 'g', QLocale::FloatingPointShortest); };
    out() << MapWindowController::displayName(*found, place) << ' ' << degrees(found->latitude) << ' '
          << degrees(found->longitude) << Qt::endl;
    if (print)
        return 0;
    QQuickWindow *window = globe->window();
    if (!window || !window->isVisible()) {
        err() << "The globe window could not be shown (see " << AppPaths::log() << ")" << Qt::endl;
        return 1;
    }
    QObject::connect(window, &QWindow::visibleChanged, &loop, [](bool visible) {
        if (!visible)
            QCoreApplication::quit();
    });
    QCoreApplication::exec(); // the loop a signal ends
    return 0;
}

} // namespace

bool handles(const QStringList &arguments)
{
    static const QStringList commands{QStringLiteral("ask"),    QStringLiteral("status"), QStringLiteral("pull"),
                                      QStringLiteral("listen"), QStringLiteral("say"),    QStringLiteral("map"),
                                      QStringLiteral("--help"), QStringLiteral("-h")};
    return commands.contains(arguments.value(1));
}

bool showsWindow(const QStringList &arguments)
{
    const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    return display && arguments.value(1) == QLatin1String("map") && !arguments.contains(QStringLiteral("--print"));
}

QString helpText()
{
    return QStringLiteral(
               "%1 %2: a private desktop assistant. Chat and vision models run in the local Ollama engine;\n"
               "speech and voices run on this machine.\n"
               "\n"
               "Usage:\n"
               "  kestrin-ai [FLAGS]        start the program (a second launch hands its flags to the running one)\n"
               "  kestrin-ai ask [--kestrin] TEXT\n"
               "                            ask Oryn (or Kestrin, without a screen picture); the reply\n"
               "                            streams here and joins the saved conversation\n"
               "  kestrin-ai status         the engine's state and the two models\n"
               "  kestrin-ai pull MODEL     download a model, with progress\n"
               "  kestrin-ai listen [--wav FILE]\n"
               "                            the wake-word listener on the microphone, or on a 16 kHz mono\n"
               "                            WAV file: a line per event (\"wake WORD COMMAND\", \"heard WORD\",\n"
               "                            \"gave-up\"); Ctrl+C ends the microphone\n"
               "  kestrin-ai say TEXT       speak TEXT (the neural voice when installed, else the system\n"
               "                            voice) and print which voice spoke\n"
               "  kestrin-ai map PLACE [--print]\n"
               "                            look a place up (\"Paris, France 48.85341 2.3488\") and turn\n"
               "                            the globe to it until its window is closed; --print: no window\n"
               "  kestrin-ai --help         this text\n"
               "\n"
               "Flags:\n"
               "  --demo                    fill the chat with a demonstration exchange\n"
               "  --kestrin                 select the vision agent\n"
               "  --expand                  open the panel and keep it open\n"
               "  --setup, --settings       open the setup or settings window\n"
               "  --tasks                   show the task list\n"
               "  --map=PLACE               show a place on the globe\n"
               "  --orb=STATE               show the voice orb (listening, thinking, speaking)\n"
               "  --export-icon PATH        export the icon set to PATH and exit\n"
               "\n"
               "The engine is reached on 127.0.0.1:11434, or the loopback address OLLAMA_HOST names.\n")
        .arg(AppInfo::name, AppInfo::version);
}

QString byteText(qint64 bytes)
{
    if (bytes >= 1'000'000'000)
        return QString::number(double(bytes) / 1e9, 'f', 1) + QStringLiteral(" GB");
    if (bytes >= 1'000'000)
        return QString::number(double(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB");
    if (bytes >= 1'000)
        return QString::number(double(bytes) / 1e3, 'f', 1) + QStringLiteral(" kB");
    return QString::number(bytes) + QStringLiteral(" B");
}

namespace {

int dispatch(const QStringList &arguments)
{
    const QString command = arguments.value(1);
    if (command == QLatin1String("status"))
        return status();
    if (command == QLatin1String("ask")) {
        QStringList words = arguments.mid(2);
        const bool kestrin = words.removeAll(QStringLiteral("--kestrin")) > 0;
        const QString text = words.join(u' ').trimmed();
        if (text.isEmpty())
            return usage("ask [--kestrin] TEXT");
        return ask(text, kestrin);
    }
    if (command == QLatin1String("pull")) {
        if (arguments.size() != 3 || arguments.at(2).isEmpty())
            return usage("pull MODEL");
        return pull(arguments.at(2));
    }
    if (command == QLatin1String("listen"))
        return listen(arguments.mid(2));
    if (command == QLatin1String("say"))
        return say(arguments.mid(2).join(u' '));
    if (command == QLatin1String("map"))
        return map(arguments.mid(2));
    out() << helpText();
    return 0;
}

} // namespace

int run(const QStringList &arguments)
{
    const int status = dispatch(arguments);
    // What is written is out before the command returns: the program may leave without the
    // exit handlers that would flush these streams.
    out().flush();
    err().flush();
    return status;
}

} // namespace TerminalFrontEnd
