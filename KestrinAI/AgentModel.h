#pragma once

#include <QColor>
#include <QList>
#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

#include <optional>

/// Names and download sizes of the two engine models.
namespace ModelCatalog {
inline const QString text = QStringLiteral("llama3.2:3b");   // text agent and voice persona
inline const QString vision = QStringLiteral("moondream");   // vision agent
inline const QString textSizeLabel = QStringLiteral("2.0 GB");
inline const QString visionSizeLabel = QStringLiteral("1.7 GB");
} // namespace ModelCatalog

/// The voice persona's instruction, the system message of every spoken turn.
extern const QString tarvikSystemPrompt;

/// One of the two chat agents that share the panel. Oryn is the text agent (multi-turn history,
/// the engine's chat endpoint); Kestrin the vision agent (stateless, one prompt with a
/// screenshot, the generate endpoint). A value type; QML reads its properties.
class AgentModel
{
    Q_GADGET
    QML_VALUE_TYPE(agentModel)
    Q_PROPERTY(QString id READ id CONSTANT)
    Q_PROPERTY(QString displayName READ displayName CONSTANT)
    Q_PROPERTY(QString ollamaModel READ ollamaModel CONSTANT)
    Q_PROPERTY(QColor accent READ accent CONSTANT)
    Q_PROPERTY(QString tagline READ tagline CONSTANT)
    Q_PROPERTY(QString placeholder READ placeholder CONSTANT)
    Q_PROPERTY(QString systemPrompt READ systemPrompt CONSTANT)

public:
    enum Case { oryn, kestrin };
    Q_ENUM(Case)

    constexpr AgentModel(Case c = oryn) : m_case(c) { } // NOLINT: implicit on purpose

    /// Both agents, in the switcher's order.
    static QList<AgentModel> allCases() { return {oryn, kestrin}; }
    /// "oryn" and "kestrin" (exactly, lower-case); anything else gives no agent.
    static std::optional<AgentModel> fromRawValue(QStringView raw);

    constexpr Case value() const { return m_case; }
    QString id() const;          // the raw value
    QString displayName() const; // the raw value capitalised
    QString ollamaModel() const;
    QColor accent() const;
    QString tagline() const;
    QString placeholder() const;
    QString systemPrompt() const;

    friend constexpr bool operator==(AgentModel a, AgentModel b) { return a.m_case == b.m_case; }

private:
    Case m_case;
};
