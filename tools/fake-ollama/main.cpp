// kestrin-fake-ollama: answers on 127.0.0.1:11434 like the local engine, with two models
// installed and canned replies streamed word by word, so the program can be tried without the
// real engine. One line per request goes to stdout.

#include "QuitOnSignal.h"
#include "TestEngine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QTextStream>

#include <algorithm>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const QStringList chatReplies{
    QStringLiteral("Hi there! I'm a stand-in engine, but I'm happy to chat. What's on your mind?"),
    QStringLiteral("Good question. I don't really think, I just stream canned words, but it looks "
                   "convincing, doesn't it?"),
    QStringLiteral("Sure thing. Everything you see here comes from the fake engine, one word at a "
                   "time."),
};

const QStringList visionReplies{
    QStringLiteral("I can see your screen, sort of. It looks like a window with some text in it."),
    QStringLiteral("There's a lot going on in that picture. I'd call it busy but friendly."),
};

// What a request was about, for the log line.
QString summary(const TestEngine::Request &request)
{
    const QJsonObject json = request.json();
    QStringList parts{QString::fromLatin1(request.method), QString::fromLatin1(request.path)};
    if (const QString model = json.value(QStringLiteral("model")).toString(); !model.isEmpty())
        parts << model;
    if (json.contains(QStringLiteral("messages"))) {
        const qsizetype count = json.value(QStringLiteral("messages")).toArray().size();
        parts << (count == 1 ? QStringLiteral("(1 message)") : QStringLiteral("(%1 messages)").arg(count));
    }
    if (json.contains(QStringLiteral("prompt")))
        parts << QStringLiteral("(prompt of %1 characters)").arg(json.value(QStringLiteral("prompt")).toString().size());
    return parts.join(QLatin1Char(' '));
}

bool hasImages(const QJsonObject &json)
{
    if (!json.value(QStringLiteral("images")).toArray().isEmpty())
        return true;
    const QJsonArray messages = json.value(QStringLiteral("messages")).toArray();
    return std::any_of(messages.begin(), messages.end(), [](const QJsonValue &message) {
        return !message.toObject().value(QStringLiteral("images")).toArray().isEmpty();
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrin-fake-ollama"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A stand-in for the local Ollama engine."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on (default 11434)."),
                                        QStringLiteral("N"), QStringLiteral("11434"));
    parser.addOption(portOption);
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        err << "kestrin-fake-ollama: not a port: " << parser.value(portOption) << Qt::endl;
        return 2;
    }

    QuitOnSignal::install({SIGINT, SIGTERM});

    TestEngine engine;
    engine.setInstalledModels({QStringLiteral("llama3.2:3b"), QStringLiteral("moondream:latest")});
    engine.setStreamInterval(40ms);
    int turn = 0;
    // The reply is chosen after this signal, so the next canned text can be set here.
    QObject::connect(&engine, &TestEngine::requestReceived, &engine, [&](const TestEngine::Request &request) {
        out << summary(request) << Qt::endl;
        const QStringList &replies = hasImages(request.json()) ? visionReplies : chatReplies;
        engine.setChatReply(TestEngine::words(replies.at(turn++ % replies.size())));
    });

    if (!engine.listen(quint16(port))) {
        err << "kestrin-fake-ollama: cannot listen on 127.0.0.1:" << port
            << " (is the real engine running?)" << Qt::endl;
        return 1;
    }
    out << "kestrin-fake-ollama listening on http://" << engine.ollamaHost() << ", models: "
        << engine.installedModels().join(QStringLiteral(", ")) << Qt::endl;

    const int status = QCoreApplication::exec();
    out << "kestrin-fake-ollama stopped" << Qt::endl;
    return status;
}
