#include "TerminalFrontEnd.h"

#include "AgentModel.h"
#include "AppInfo.h"
#include "ChatViewModel.h"
#include "ConversationStore.h"
#include "FileAudioEngine.h"
#include "OllamaClient.h"
#include "OllamaTypes.h"
#include "SetupModel.h"
#include "SpeechOutput.h"
#include "SpeechRecognizer.h"
#include "SpeechSynthesizer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QTextStream>

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

} // namespace

bool handles(const QStringList &arguments)
{
    const QString command = arguments.value(1);
    return command == QLatin1String("ask") || command == QLatin1String("status") || command == QLatin1String("pull") || command == QLatin1String("--help")
        || command == QLatin1String("-h");
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

int run(const QStringList &arguments)
{
    const QString command = arguments.value(1);
    if (command == QLatin1String("status"))
        return status();
    if (command == QLatin1String("ask")) {
        QStringList words = arguments.mid(2);
        const bool kestrin = words.removeAll(QStringLiteral("--kestrin")) > 0;
        const QString text = words.join(u' ').trimmed();
        if (text.isEmpty()) {
            err() << "usage: kestrin-ai ask [--kestrin] TEXT" << Qt::endl;
            return 64;
        }
        return ask(text, kestrin);
    }
    if (command == QLatin1String("pull")) {
        if (arguments.size() != 3 || arguments.at(2).isEmpty()) {
            err() << "usage: kestrin-ai pull MODEL" << Qt::endl;
            return 64;
        }
        return pull(arguments.at(2));
    }
    out() << helpText();
    out().flush();
    return 0;
}

} // namespace TerminalFrontEnd
