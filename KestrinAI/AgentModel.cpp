#include "AgentModel.h"

#include "Theme.h"

const QString tarvikSystemPrompt = QStringLiteral(
    "You are Tarvik, a voice assistant. Every reply you give is spoken aloud, never shown as text. "
    "Keep replies SHORT, almost always one or two sentences, like a real spoken conversation. No "
    "markdown, lists, or formatting of any kind, only plain spoken sentences. Be direct, warm, and "
    "a little witty.");

std::optional<AgentModel> AgentModel::fromRawValue(QStringView raw)
{
    for (const AgentModel agent : allCases()) {
        if (raw == agent.id())
            return agent;
    }
    return std::nullopt;
}

QString AgentModel::id() const
{
    return m_case == oryn ? QStringLiteral("oryn") : QStringLiteral("kestrin");
}

QString AgentModel::displayName() const
{
    const QString raw = id();
    return raw.left(1).toUpper() + raw.mid(1);
}

QString AgentModel::ollamaModel() const
{
    return m_case == oryn ? ModelCatalog::text : ModelCatalog::vision;
}

QColor AgentModel::accent() const
{
    return m_case == oryn ? Theme::oryn() : Theme::kestrin();
}

QString AgentModel::tagline() const
{
    return m_case == oryn ? QStringLiteral("Chat and reasoning") : QStringLiteral("Sees your screen");
}

QString AgentModel::placeholder() const
{
    return m_case == oryn ? QStringLiteral("Ask Oryn anything")
                          : QStringLiteral("Ask Kestrin about your screen");
}

QString AgentModel::systemPrompt() const
{
    if (m_case == oryn) {
        return QStringLiteral(
            // The program runs on Linux: the model must not tell users it lives on a Mac.
            "You are Oryn, a sharp and direct AI assistant that lives in a Linux desktop sidebar and runs "
            "entirely on the user's own computer. Be candid and substantive, not generic or "
            "hedging. Keep replies tight, a few sentences unless the question genuinely needs "
            "more. Never say you are \"just a language model\".");
    }
    return QStringLiteral(
        "You are Kestrin, the vision half of a local assistant. You are given a screenshot. "
        "Describe what is actually relevant to what was asked, not a generic rundown of "
        "everything visible. Be concise and concrete. You are a small model and prone to "
        "misreading text: when any text, brand name, title, or label is visible, read it carefully "
        "and transcribe it exactly as written rather than guessing a plausible name. If something "
        "is too small to read with confidence, say so.");
}
