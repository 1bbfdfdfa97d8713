#pragma once

#include <QColor>
#include <QString>

#include <functional>

/// What the voice orb shows.
enum class OrbState { idle, listening, thinking, speaking };

/// What the orchestrator needs of the voice orb window: show a state with a label and an accent,
/// and let it go a little after the voice falls silent.
class OrbPresenter
{
public:
    virtual ~OrbPresenter() = default;
    /// @p onCancel runs when the user clicks the orb.
    virtual void present(OrbState state, const QColor &accent, const QString &label,
                         std::function<void()> onCancel) = 0;
    virtual void dismissAfterSpeaking() = 0;
};
