#include "PanelTexts.h"

#include "AgentModel.h"

#include <QVariantMap>

namespace {

bool isKestrin(const QString &agentId)
{
    return agentId == AgentModel(AgentModel::kestrin).id();
}

} // namespace

QString PanelTexts::wakeHint()
{
    return QStringLiteral("Say \u201CHey Oryn\u201D, \u201CHey Kestrin\u201D or \u201CHey Tarvik\u201D");
}

QString PanelTexts::statusLabel(SetupModel::OllamaState ollama, bool textInstalled)
{
    switch (ollama) {
    case SetupModel::OllamaState::checking:
        return QStringLiteral("Checking local engine");
    case SetupModel::OllamaState::running:
        return textInstalled ? QStringLiteral("Private. Running on your computer.")
                             : QStringLiteral("Chat model not installed yet");
    case SetupModel::OllamaState::notRunning:
        return QStringLiteral("Ollama isn't running");
    case SetupModel::OllamaState::notInstalled:
        break;
    }
    return QStringLiteral("Ollama isn't installed");
}

QString PanelTexts::typingLabel(const QString &agentId, bool attachScreen)
{
    return isKestrin(agentId) && attachScreen ? QStringLiteral("Looking at your screen") : QStringLiteral("Thinking");
}

QString PanelTexts::emptyTitle(const QString &agentId)
{
    return isKestrin(agentId) ? QStringLiteral("What should I look at?") : QStringLiteral("How can I help?");
}

QString PanelTexts::emptySubtitle(const QString &agentId)
{
    const AgentModel agent = isKestrin(agentId) ? AgentModel::kestrin : AgentModel::oryn;
    return agent.tagline() + QStringLiteral(". Runs on your computer.");
}

QVariantList PanelTexts::suggestions(const QString &agentId)
{
    const auto item = [](const char *symbol, const char *text) {
        return QVariantMap{{QStringLiteral("symbol"), QString::fromLatin1(symbol)},
                           {QStringLiteral("text"), QString::fromUtf8(text)}};
    };
    if (isKestrin(agentId))
        return {item("display", "What is on my screen right now?"),
                item("doc.text.magnifyingglass", "Read the text I'm looking at"),
                item("list.bullet.rectangle", "Summarize this page")};
    return {item("lightbulb", "Explain how a neural network learns"),
            item("envelope", "Write a short, polite follow up email"),
            item("figure.run", "Give me a simple 3 day workout plan")};
}
