#include "SetupRows.h"

#include "AgentModel.h"

using Status = SetupRow::Status;
using Action = SetupRow::Action;
using OllamaState = SetupModel::OllamaState;

SetupFacts SetupFacts::of(const SetupModel &model)
{
    return {model.ollama(), model.textInstalled(), model.visionInstalled(), model.progress(),
            model.voice(),  model.screen()};
}

namespace {

SetupRow engineRow(OllamaState state)
{
    const QString title = QStringLiteral("Ollama");
    switch (state) {
    case OllamaState::checking:
        return {title, QStringLiteral("Checking."), Status::working, std::nullopt, {}, Action::none};
    case OllamaState::running:
        return {title, QStringLiteral("Running. This is what runs the models locally."), Status::ok, std::nullopt, {},
                Action::none};
    case OllamaState::notRunning:
        return {title, QStringLiteral("Installed, but not running."), Status::warn, std::nullopt,
                QStringLiteral("Start"), Action::startOllama};
    case OllamaState::notInstalled:
        break;
    }
    return {title, QStringLiteral("Free, runs the AI models on your computer. Install it, then come back."),
            Status::todo, std::nullopt, QStringLiteral("Get Ollama"), Action::openOllamaDownload};
}

SetupRow modelRow(const SetupFacts &facts, const QString &title, const QString &model, const QString &sizeLabel,
                  const QString &purpose, bool installed, Action pull)
{
    SetupRow row{title, model + QStringLiteral(", ") + sizeLabel + purpose, Status::todo, std::nullopt, {}, Action::none};
    const bool running = facts.ollama == OllamaState::running;
    const auto downloading = facts.progress.constFind(model);
    if (downloading != facts.progress.cend()) {
        row.status = Status::working;
        row.fraction = *downloading;
    } else if (installed) {
        row.status = Status::ok;
    } else {
        row.status = running ? Status::todo : Status::warn;
    }
    if (!installed && running && downloading == facts.progress.cend()) {
        row.actionTitle = QStringLiteral("Download");
        row.action = pull;
    }
    return row;
}

} // namespace

namespace SetupRows {

QList<SetupRow> engine(const SetupFacts &facts)
{
    return {engineRow(facts.ollama),
            modelRow(facts, QStringLiteral("Chat model"), ModelCatalog::text, ModelCatalog::textSizeLabel,
                     QStringLiteral(". Powers Oryn and Tarvik."), facts.textInstalled, Action::pullText),
            modelRow(facts, QStringLiteral("Vision model"), ModelCatalog::vision, ModelCatalog::visionSizeLabel,
                     QStringLiteral(". Lets Kestrin see your screen."), facts.visionInstalled, Action::pullVision)};
}

QList<SetupRow> access(const SetupFacts &facts)
{
    SetupRow voice{QStringLiteral("Voice"),
                   QStringLiteral("Microphone and speech recognition, for \u201CHey Oryn\u201D, \u201CHey Kestrin\u201D, "
                                  "\u201CHey Tarvik\u201D."),
                   Status::todo, std::nullopt, QStringLiteral("Allow"), Action::requestVoice};
    if (facts.voice == PermissionState::granted) {
        voice.status = Status::ok;
        voice.actionTitle.clear();
        voice.action = Action::none;
    } else if (facts.voice == PermissionState::denied) {
        voice.status = Status::warn;
        voice.actionTitle = QStringLiteral("Open Settings");
    }

    const bool screenGranted = facts.screen == PermissionState::granted;
    SetupRow screen{QStringLiteral("Screen Recording"),
                    QStringLiteral("Lets Kestrin look at your screen when you ask. Restart the app after allowing."),
                    screenGranted ? Status::ok : Status::todo, std::nullopt,
                    screenGranted ? QString() : QStringLiteral("Allow"),
                    screenGranted ? Action::none : Action::requestScreen};
    return {voice, screen};
}

} // namespace SetupRows

SetupRowList::SetupRowList(SetupModel *model, Section section, QObject *parent)
    : QAbstractListModel(parent)
    , m_model(model)
    , m_section(section)
{
    update();
    for (auto signal : {&SetupModel::ollamaChanged, &SetupModel::textInstalledChanged,
                        &SetupModel::visionInstalledChanged, &SetupModel::progressChanged, &SetupModel::voiceChanged,
                        &SetupModel::screenChanged})
        connect(model, signal, this, &SetupRowList::update);
}

int SetupRowList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant SetupRowList::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const SetupRow &row = m_rows.at(index.row());
    switch (role) {
    case TitleRole:
        return row.title;
    case DetailRole:
        return row.detail;
    case StatusRole:
        switch (row.status) {
        case Status::working:
            return QStringLiteral("working");
        case Status::ok:
            return QStringLiteral("ok");
        case Status::todo:
            return QStringLiteral("todo");
        case Status::warn:
            return QStringLiteral("warn");
        }
        return {};
    case FractionRole:
        return row.fraction.value_or(-1.0);
    case ActionTitleRole:
        return row.actionTitle;
    default:
        return {};
    }
}

QHash<int, QByteArray> SetupRowList::roleNames() const
{
    return {{TitleRole, "title"},
            {DetailRole, "detail"},
            {StatusRole, "status"},
            {FractionRole, "fraction"},
            {ActionTitleRole, "actionTitle"}};
}

void SetupRowList::activate(int row)
{
    if (!m_model || row < 0 || row >= m_rows.size())
        return;
    switch (m_rows.at(row).action) {
    case Action::none:
        return;
    case Action::startOllama:
        m_model->startOllama();
        return;
    case Action::openOllamaDownload:
        m_model->openOllamaDownload();
        return;
    case Action::pullText:
        m_model->pull(ModelCatalog::text);
        return;
    case Action::pullVision:
        m_model->pull(ModelCatalog::vision);
        return;
    case Action::requestVoice:
        m_model->requestVoice();
        return;
    case Action::requestScreen:
        m_model->requestScreen();
        return;
    }
}

void SetupRowList::update()
{
    if (!m_model)
        return;
    const SetupFacts facts = SetupFacts::of(*m_model);
    QList<SetupRow> rows = m_section == Section::engine ? SetupRows::engine(facts) : SetupRows::access(facts);
    if (rows.size() != m_rows.size()) {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
        return;
    }
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (rows[i] == m_rows[i])
            continue;
        m_rows[i] = rows[i];
        emit dataChanged(index(int(i)), index(int(i)));
    }
}
