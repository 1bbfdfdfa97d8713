// Markdown of the transcript: a realistic mixed reply (headings, bullets, emphasis, code spans,
// links, fenced code) of 10 KB, 100 KB and 1 MB.
//
// 1. Splitting and styling (blocks, then attributed for every prose block): what runs on every
//    streamed update. Each tenfold step should cost ten times as much: linear.
// 2. The view (views/MarkdownText.qml) offscreen at the panel's width: setting the whole text
//    until every block is laid out, the first frame drawn with it, and one streamed piece (the
//    reply grown by 40 characters: only its last block is styled and laid out again).

#include "MarkdownText.h"
#include "ViewEngine.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTextStream>
#include <QtQml/qqmlextensionplugin.h>

#include <algorithm>

Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

namespace {

QString reply(qsizetype bytes)
{
    const QString part = QStringLiteral(
        "## Setting up the service\n\n"
        "First, check that **the daemon** is installed and running. On *most* systems the unit is "
        "called `example.service`; see [the manual](https://example.org/manual) for details.\n\n"
        "- Open a terminal\n- Run the status command below\n  - look for `active (running)`\n"
        "* If it is ~~stopped~~ inactive, start it\n\n"
        "```bash\nsystemctl --user status example.service\nsystemctl --user start example.service\n```\n\n"
        "1. The configuration lives in `~/.config/example/config.toml`.\n"
        "2. Keys are *case sensitive*; values with blanks need \"quotes\".\n\n"
        "> Note: changes take effect after a restart.\n\n"
        "```python\nimport tomllib\n\nwith open(path, \"rb\") as f:\n    config = tomllib.load(f)\n"
        "print(config.get(\"port\", 8080))\n```\n\n"
        "That is all: the service now answers on port **8080**, and the log shows each request. "
        "Ask me if a step fails & I will help <3.\n\n");
    const qsizetype partBytes = part.toUtf8().size();
    QString text;
    text.reserve(bytes + part.size());
    for (qsizetype size = 0; size < bytes; size += partBytes)
        text += part;
    return text;
}

qsizetype styleAll(const QString &text)
{
    qsizetype produced = 0;
    for (const MarkdownText::Block &block : MarkdownText::blocks(text))
        produced += block.kind == MarkdownText::Block::Kind::prose ? MarkdownText::attributed(block.text).size() : block.text.size();
    return produced;
}

/// The best of @p runs timings of @p work, in ms.
template<typename Work>
double bestMs(int runs, Work work)
{
    double best = 1e12;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e6);
    }
    return best;
}

QString ms(double value)
{
    return QString::number(value, 'f', value < 10 ? 3 : 1);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream out(stdout);

    const qsizetype sizes[] = {10'000, 100'000, 1'000'000};
    const int runs[] = {50, 10, 3};
    double style[3] = {};
    double layout[3] = {};
    double frame[3] = {};
    double piece[3] = {};

    QQuickWindow window;
    window.resize(400, 700);
    QQmlComponent component(ViewEngine::shared(), QUrl(QStringLiteral("qrc:/KestrinAI/views/MarkdownText.qml")));
    std::unique_ptr<QQuickItem> view(qobject_cast<QQuickItem *>(component.createWithInitialProperties({{"width", 380}})));
    if (!view) {
        out << component.errorString() << "\n";
        return 1;
    }
    view->setParentItem(window.contentItem());
    window.show();

    for (int i = 0; i < 3; ++i) {
        const QString text = reply(sizes[i]);
        volatile qsizetype sink = 0; // keeps the work from being optimised away
        style[i] = bestMs(runs[i], [&] { sink = sink + styleAll(text); });

        double height = 0;
        layout[i] = 1e12;
        for (int run = 0; run < std::max(1, runs[i] / 5); ++run) {
            view->setProperty("text", QString()); // starts from an empty view, untimed
            QElapsedTimer timer;
            timer.start();
            view->setProperty("text", text);
            height = 0;
            for (QQuickItem *block : view->childItems())
                height += block->height(); // each block's text is laid out to know its height
            layout[i] = std::min(layout[i], double(timer.nsecsElapsed()) / 1e6);
        }
        frame[i] = bestMs(1, [&] { window.grabWindow(); });

        // A streamed piece: the same reply one piece shorter, then whole.
        piece[i] = 1e12;
        for (int run = 0; run < 5; ++run) {
            view->setProperty("text", text.chopped(40 + run));
            QElapsedTimer timer;
            timer.start();
            view->setProperty("text", text);
            for (QQuickItem *block : view->childItems())
                sink = sink + qsizetype(block->height());
            piece[i] = std::min(piece[i], double(timer.nsecsElapsed()) / 1e6);
        }
        out << QStringLiteral("%1 KB, %2 blocks laid out to %3 px\n")
                   .arg(sizes[i] / 1000)
                   .arg(MarkdownText::blocks(text).size())
                   .arg(qRound(height));
    }

    out << "\nMarkdown, best of several runs (ms):\n";
    out << "  size      split+style   view: whole text set + laid out   first frame   one streamed piece\n";
    for (int i = 0; i < 3; ++i)
        out << QStringLiteral("  %1 %2 %3 %4 %5\n")
                   .arg(QStringLiteral("%1 KB").arg(sizes[i] / 1000), -8)
                   .arg(ms(style[i]), 12)
                   .arg(ms(layout[i]), 32)
                   .arg(ms(frame[i]), 13)
                   .arg(ms(piece[i]), 20);
    const auto ratios = [&](int i) {
        return QStringLiteral("%1 / %2 / %3 / %4")
            .arg(style[i] / style[i - 1], 0, 'f', 1)
            .arg(layout[i] / layout[i - 1], 0, 'f', 1)
            .arg(frame[i] / frame[i - 1], 0, 'f', 1)
            .arg(piece[i] / piece[i - 1], 0, 'f', 1);
    };
    out << "  ratio 100K/10K: " << ratios(1) << " (linear is 10)\n";
    out << "  ratio 1M/100K:  " << ratios(2) << " (linear is 10)\n";
    out << QStringLiteral("  split+style throughput at 1 MB: %1 MB/s\n").arg(1.0 / (style[2] / 1000), 0, 'f', 1);
    return 0;
}
