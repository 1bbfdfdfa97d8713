#pragma once

#include "Permissions.h"
#include "SetupModel.h"

#include <QAbstractListModel>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QtQml/qqmlregistration.h>

#include <optional>

/// One row of the setup window: what is checked, how it stands, and the button that fixes it.
struct SetupRow
{
    enum class Status { working, ok, todo, warn };
    /// What the row's button does; the row list carries it out on the setup model.
    enum class Action { none, startOllama, openOllamaDownload, pullText, pullVision, requestVoice, requestScreen };

    QString title;
    QString detail;
    Status status = Status::todo;
    /// Shown as a progress bar while working; absent for the plain spinner.
    std::optional<double> fraction;
    /// No button when empty.
    QString actionTitle;
    Action action = Action::none;

    bool operator==(const SetupRow &) const = default;
};

/// What the rows are computed from: the setup model's observable state.
struct SetupFacts
{
    SetupModel::OllamaState ollama = SetupModel::OllamaState::checking;
    bool textInstalled = false;
    bool visionInstalled = false;
    QMap<QString, double> progress;
    PermissionState voice = PermissionState::notDetermined;
    PermissionState screen = PermissionState::notDetermined;

    static SetupFacts of(const SetupModel &model);
};

namespace SetupRows {

/// The "Engine" section: the engine, the chat model, the vision model.
QList<SetupRow> engine(const SetupFacts &facts);
/// The "Access (optional)" section: voice, then screen recording.
QList<SetupRow> access(const SetupFacts &facts);

} // namespace SetupRows

/// One section of the setup window as a list model over the setup model, kept current as the
/// model changes. The rows keep their places (only their contents change), so a row's spinner
/// and progress bar are not rebuilt on every download step.
class SetupRowList : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by the setup window")

public:
    enum class Section { engine, access };
    enum Role {
        TitleRole = Qt::UserRole + 1,
        DetailRole,
        StatusRole,      ///< "working", "ok", "todo" or "warn"
        FractionRole,    ///< -1 without a progress bar
        ActionTitleRole, ///< empty without a button
    };

    SetupRowList(SetupModel *model, Section section, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const QList<SetupRow> &rows() const { return m_rows; }

    /// The button of row @p row was pressed.
    Q_INVOKABLE void activate(int row);

private:
    void update();

    QPointer<SetupModel> m_model;
    Section m_section;
    QList<SetupRow> m_rows;
};
