#include "TerminalFrontEnd.h"

#include "AgentModel.h"
#include "AppInfo.h"
#include "OllamaClient.h"
#include "OllamaTypes.h"
#include "SetupModel.h"

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
    QHash<QString, std::pair<qint64, qint64>> layers; // digest -> (total, completed)
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    int status = 0;
    bool succeeded = false;
    QString lastLine;
    QObject::connect(stream.get(), &PullStream::progress, &loop, [&](const PullProgress &step) {
        succeeded = succeeded || step.status == QLatin1String("success");
        if (step.digest && step.total)
            layers.insert(*step.digest, {*step.total, step.completed.value_or(0)});
        qint64 total = 0;
        qint64 completed = 0;
        for (const auto &[layerTotal, layerCompleted] : std::as_const(layers)) {
            total += layerTotal;
            completed += layerCompleted;
        }
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
        if (!succeeded) { // the engine ends a refused name's stream normally, with an error line
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
    return command == QLatin1String("status") || command == QLatin1String("pull") || command == QLatin1String("--help")
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
