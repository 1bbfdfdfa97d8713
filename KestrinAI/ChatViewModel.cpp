#include "ChatViewModel.h"

#include "ChatMessageList.h"
#include "ConversationStore.h"
#include "DebugLog.h"
#include "OllamaClient.h"
#include "OllamaTypes.h"
#include "ScreenCapture.h"
#include "SpeechManager.h"
#include "Theme.h"
#include "UserText.h"

#include <QPointer>

#include <algorithm>

/// A chat request in flight: what it was asked, what has come back, and its stream.
struct ChatViewModel::Request
{
    quint64 number = 0;
    AgentModel model;
    QString text;
    bool speakReply = false;
    QList<ChatTurn> turns; // the history sent (text agent), the new user turn last
    QString reply;
    std::optional<QUuid> assistantId;
    QElapsedTimer sinceUpdate;
    std::unique_ptr<TextStream> stream; // none while the screenshot is being taken
};

namespace {

QString flag(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

ChatViewModel::ChatViewModel(QObject *parent)
    : ChatViewModel(new SpeechManager, ScreenCapture::captureBase64, parent)
{
}

ChatViewModel::ChatViewModel(SpeechManager *speech, ScreenCapturer capture, QObject *parent)
    : QObject(parent)
    , m_speech(speech)
    , m_capture(std::move(capture))
    , m_messages(new ChatMessageList(this))
    , m_activeLabel(AgentModel(AgentModel::oryn).displayName())
    , m_activeAccent(Theme::oryn())
    , m_tarvikOllamaModel(ModelCatalog::text)
{
    m_speech->setParent(this);
    m_catchUp.setSingleShot(true);
    m_catchUp.setTimerType(Qt::PreciseTimer); // never sooner than the interval
    connect(&m_catchUp, &QTimer::timeout, this, &ChatViewModel::showReply);
    observeTarvikConversationContinuation();
    for (auto changed : {&ChatViewModel::draftChanged, &ChatViewModel::isThinkingChanged, &ChatViewModel::isStreamingChanged})
        connect(this, changed, this, &ChatViewModel::canSendChanged);

    ConversationStore::loadAsync(this, [this](ConversationSnapshot snapshot) {
        // A transcript filled meanwhile ("--demo") wins over the file.
        if (m_orynMessages.isEmpty() && m_kestrinMessages.isEmpty()) {
            m_orynMessages = std::move(snapshot.orynMessages);
            m_kestrinMessages = std::move(snapshot.kestrinMessages);
            m_orynHistory = std::move(snapshot.orynHistory);
            m_messages->setMessages(listOf(m_selectedModel));
        }
        emit savedConversationLoaded();
    });
}

ChatViewModel::~ChatViewModel()
{
    // Ends the streams without a finishing step: nothing is left to show it.
    m_request.reset();
    m_voiceReply.reset();
}

QList<ChatMessage> ChatViewModel::messages() const
{
    return m_messages->messages();
}

void ChatViewModel::setSelectedModel(AgentModel model)
{
    if (model == m_selectedModel)
        return;
    m_selectedModel = model;
    m_messages->setMessages(listOf(model));
    emit selectedModelChanged();
}

QVariantList ChatViewModel::agents()
{
    QVariantList list;
    for (AgentModel agent : AgentModel::allCases())
        list << QVariant::fromValue(agent);
    return list;
}

void ChatViewModel::selectAgent(const QString &id)
{
    if (const std::optional<AgentModel> agent = AgentModel::fromRawValue(id))
        setSelectedModel(*agent);
}

bool ChatViewModel::canSend() const
{
    return !m_draft.trimmed().isEmpty() && !isThinking() && !isStreaming();
}

void ChatViewModel::submitDraft()
{
    if (canSend())
        send();
}

void ChatViewModel::setDraft(const QString &draft)
{
    if (draft == m_draft)
        return;
    m_draft = draft;
    emit draftChanged();
}

void ChatViewModel::setAttachScreen(bool attach)
{
    if (attach == m_attachScreen)
        return;
    m_attachScreen = attach;
    emit attachScreenChanged();
}

// --- Typed and direct requests ---

void ChatViewModel::send()
{
    const QString text = m_draft.trimmed();
    if (text.isEmpty())
        return;
    setDraft({});
    sendDirect(text, m_selectedModel, m_selectedModel == AgentModel::kestrin && m_attachScreen, false, false);
}

void ChatViewModel::sendSuggestion(const QString &text)
{
    sendDirect(text, m_selectedModel, m_selectedModel == AgentModel::kestrin, false, false);
}

void ChatViewModel::sendDirect(const QString &text, AgentModel model, bool captureScreen, bool speakReply, bool viaVoice)
{
    endTarvikConversation();
    setVoiceDriven(viaVoice);
    cancelCurrentTask();
    m_speech->stopSpeaking();
    setSelectedModel(model);
    setActive(model.displayName(), model.accent());
    appendMessage(ChatMessage(ChatMessage::Role::user, text), model);
    setThinking(true);
    DebugLog::log(QStringLiteral("send %1: \"%2\" screen=%3").arg(model.id(), text, flag(captureScreen)));

    auto request = std::make_unique<Request>();
    request->number = ++m_requestsMade;
    request->model = model;
    request->text = text;
    request->speakReply = speakReply;
    m_request = std::move(request);

    if (model == AgentModel::kestrin && captureScreen) {
        const quint64 number = m_request->number;
        m_capture(this, [this, number](std::optional<QString> image) {
            if (!m_request || m_request->number != number)
                return; // cancelled meanwhile: that request has finished already
            if (!image) {
                setThinking(false);
                m_request.reset();
                appendMessage(ChatMessage(ChatMessage::Role::assistant, noScreenText), AgentModel::kestrin);
                return;
            }
            startRequest(*m_request, std::move(image));
        });
    } else {
        startRequest(*m_request, std::nullopt);
    }
}

void ChatViewModel::startRequest(Request &request, std::optional<QString> image)
{
    if (request.model == AgentModel::oryn) {
        request.turns = trimmedForContext(m_orynHistory);
        request.turns.append({QStringLiteral("user"), request.text, std::nullopt});
        request.stream = OllamaClient::streamChat(ModelCatalog::text, request.turns, request.model.systemPrompt());
    } else {
        const QString prompt = request.model.systemPrompt() + QStringLiteral("\n\nRequest: ") + request.text;
        request.stream = OllamaClient::streamGenerate(ModelCatalog::vision, prompt, image);
    }
    TextStream *stream = request.stream.get();
    connect(stream, &TextStream::piece, this, &ChatViewModel::onPiece);
    connect(stream, &OllamaStream::finished, this, [this] { finishRequest(false); });
    connect(stream, &OllamaStream::failed, this, &ChatViewModel::failRequest);
}

void ChatViewModel::onPiece(const QString &piece)
{
    Request &request = *m_request;
    request.reply += piece;
    if (!request.assistantId) {
        request.assistantId = appendMessage(ChatMessage(ChatMessage::Role::assistant, request.reply), request.model, false);
        request.sinceUpdate.start();
        setThinking(false);
        setStreaming(true);
        return;
    }
    const qint64 since = request.sinceUpdate.elapsed();
    if (since > updateIntervalMs)
        showReply();
    else if (!m_catchUp.isActive()) // the screen catches up even if no piece follows
        m_catchUp.start(int(updateIntervalMs + 1 - since));
}

void ChatViewModel::showReply()
{
    m_catchUp.stop();
    if (!m_request || !m_request->assistantId)
        return;
    updateMessage(*m_request->assistantId, m_request->reply, m_request->model);
    m_request->sinceUpdate.start();
}

void ChatViewModel::finishRequest(bool cancelled)
{
    // Taken out first: the request is over, whatever the steps below start.
    const std::unique_ptr<Request> request = std::move(m_request);
    m_catchUp.stop();
    setThinking(false);
    setStreaming(false);
    if (!request->assistantId) {
        if (!cancelled)
            appendMessage(ChatMessage(ChatMessage::Role::assistant, noResponseText), request->model);
    } else {
        updateMessage(*request->assistantId, request->reply, request->model);
    }
    if (request->model == AgentModel::oryn && !request->reply.isEmpty()) {
        QList<ChatTurn> history = request->turns;
        history.append({QStringLiteral("assistant"), request->reply, std::nullopt});
        if (history.size() > maxHistoryTurns)
            history.remove(0, history.size() - maxHistoryTurns);
        m_orynHistory = std::move(history);
    }
    saveConversation();
    if (request->speakReply && !request->reply.isEmpty() && !cancelled)
        m_speech->speak(request->reply);
}

void ChatViewModel::failRequest(const OllamaError &error)
{
    const std::unique_ptr<Request> request = std::move(m_request);
    m_catchUp.stop();
    DebugLog::log(QStringLiteral("stream error: ") + error.debugDescription());
    const QString text = error.errorDescription();
    emit requestFailed(text);
    if (!request->assistantId)
        appendMessage(ChatMessage(ChatMessage::Role::assistant, text), request->model);
    else
        updateMessage(*request->assistantId, request->reply + QStringLiteral("\n\n") + text, request->model);
    setThinking(false);
    setStreaming(false);
}

void ChatViewModel::cancelCurrentTask()
{
    if (m_request)
        finishRequest(true); // its stream is destroyed with it, which aborts the request
    m_voiceReply.reset();
}

void ChatViewModel::cancelCurrent()
{
    cancelCurrentTask();
    setThinking(false);
    setStreaming(false);
    m_speech->stopSpeaking();
    endTarvikConversation();
}

void ChatViewModel::clear()
{
    m_messages->setMessages({});
    if (m_selectedModel == AgentModel::kestrin) {
        m_kestrinMessages.clear();
    } else {
        m_orynMessages.clear();
        m_orynHistory.clear();
    }
    saveConversation();
}

void ChatViewModel::loadDemoConversation()
{
    using Role = ChatMessage::Role;
    m_orynMessages = {
        ChatMessage(Role::user, QStringLiteral("Plan a 10 day trip to Japan. First time, Tokyo and Kyoto for sure.")),
        ChatMessage(Role::assistant,
                    QStringLiteral("Here is a clean shape for it:\n\n**Days 1 to 5, Tokyo.** Shibuya and Shinjuku for the "
                                   "energy, Asakusa and Ueno for the older city, and a day trip to Nikko or Kamakura.\n\n"
                                   "**Days 6 to 9, Kyoto.** Fushimi Inari early, Arashiyama in the afternoon, and Gion in "
                                   "the evening. Add a half day in Nara.\n\n**Day 10, back to Tokyo** for the flight "
                                   "out.\n\nBook the Shinkansen between the two cities a few weeks ahead. Want me to turn "
                                   "this into a day by day itinerary?")),
        ChatMessage(Role::user, QStringLiteral("Yes, but keep it light. I hate rushing.")),
        ChatMessage(Role::assistant,
                    QStringLiteral("Understood. Two real activities a day, everything else is wandering, food, and rest. "
                                   "I'll start with Tokyo:")),
    };
    m_kestrinMessages.clear();
    m_messages->setMessages(listOf(m_selectedModel));
}

QList<ChatTurn> ChatViewModel::trimmedForContext(const QList<ChatTurn> &history)
{
    qsizetype budget = contextBudget;
    qsizetype first = history.size();
    while (first > 0) {
        budget -= UserText::perceivedLength(history.at(first - 1).content);
        if (budget < 0 && first < history.size())
            break;
        --first;
    }
    return history.mid(first);
}

// --- Transcripts ---

QList<ChatMessage> &ChatViewModel::listOf(AgentModel agent)
{
    return agent == AgentModel::kestrin ? m_kestrinMessages : m_orynMessages;
}

QUuid ChatViewModel::appendMessage(const ChatMessage &message, AgentModel agent, bool save)
{
    listOf(agent).append(message);
    if (agent == m_selectedModel)
        m_messages->append(message);
    if (save)
        saveConversation();
    return message.id();
}

void ChatViewModel::updateMessage(const QUuid &id, const QString &text, AgentModel agent)
{
    QList<ChatMessage> &list = listOf(agent);
    const auto found = std::find_if(list.rbegin(), list.rend(), [&id](const ChatMessage &m) { return m.id() == id; });
    if (found != list.rend())
        found->setText(text);
    if (agent == m_selectedModel)
        m_messages->setText(id, text);
}

void ChatViewModel::saveConversation()
{
    ConversationStore::save(m_orynMessages, m_kestrinMessages, m_orynHistory);
}

// --- Spoken conversation with Tarvik ---

void ChatViewModel::sendVoiceOnly(const QString &text, const QString &ollamaModel)
{
    cancelCurrentTask();
    m_speech->stopSpeaking();
    setVoiceDriven(true);
    setTarvikConversationActive(true);
    m_tarvikOllamaModel = ollamaModel;
    setActive(QStringLiteral("Tarvik"), Theme::tarvik());
    setThinking(true);
    DebugLog::log(QStringLiteral("tarvik: \"%1\"").arg(text));

    QList<ChatTurn> history = trimmedForContext(m_tarvikHistory);
    history.append({QStringLiteral("user"), text, std::nullopt});
    m_voiceReply = OllamaClient::chat(ollamaModel, history, tarvikSystemPrompt);
    // A cancelled reply is destroyed, which aborts it: neither handler runs for it.
    connect(m_voiceReply.get(), &ChatReply::finished, this, [this, history](const QString &reply) mutable {
        m_voiceReply.release()->deleteLater();
        history.append({QStringLiteral("assistant"), reply, std::nullopt});
        m_tarvikHistory = std::move(history);
        setThinking(false);
        m_speech->speak(reply.isEmpty() ? notCaughtText : reply);
    });
    connect(m_voiceReply.get(), &ChatReply::failed, this, [this](const OllamaError &error) {
        m_voiceReply.release()->deleteLater();
        setThinking(false);
        DebugLog::log(QStringLiteral("tarvik error: ") + error.debugDescription());
        m_speech->speak(unreachableText);
    });
}

void ChatViewModel::endTarvikConversation()
{
    if (!m_tarvikConversationActive)
        return;
    setTarvikConversationActive(false);
    m_tarvikHistory.clear();
    m_speech->stopListening();
}

void ChatViewModel::observeTarvikConversationContinuation()
{
    m_lastSpeaking = m_speech->isSpeaking();
    connect(m_speech, &SpeechManager::isSpeakingChanged, this, &ChatViewModel::onSpeakingChanged);
}

void ChatViewModel::onSpeakingChanged()
{
    const bool speaking = m_speech->isSpeaking();
    if (speaking == m_lastSpeaking)
        return;
    m_lastSpeaking = speaking;
    if (speaking || !m_tarvikConversationActive)
        return;
    // The reply has been spoken: listen for a follow-up, without a wake word.
    DebugLog::log(QStringLiteral("Tarvik: listening for a follow-up"));
    m_speech->startListening([self = QPointer(this)](const QString &text) {
        if (!self || !self->m_tarvikConversationActive)
            return;
        const QString said = text.trimmed();
        if (!said.isEmpty())
            self->sendVoiceOnly(said, self->m_tarvikOllamaModel);
    });
}

void ChatViewModel::startVoiceInput()
{
    m_speech->requestPermissions(this, [this](bool granted) {
        if (!granted)
            return;
        setVoiceDriven(true);
        m_speech->startListening([self = QPointer(this)](const QString &text) {
            if (!self)
                return;
            self->setDraft(text);
            const QString said = text.trimmed();
            if (said.isEmpty())
                return; // the blanks stay in the draft
            self->setDraft({});
            const AgentModel model = self->m_selectedModel;
            self->sendDirect(said, model, model == AgentModel::kestrin && self->m_attachScreen, false, true);
        });
    });
}

void ChatViewModel::stopVoiceInput()
{
    m_speech->stopListening();
}

// --- Published state ---

void ChatViewModel::setThinking(bool thinking)
{
    if (thinking == m_isThinking)
        return;
    m_isThinking = thinking;
    emit isThinkingChanged();
}

void ChatViewModel::setStreaming(bool streaming)
{
    if (streaming == m_isStreaming)
        return;
    m_isStreaming = streaming;
    emit isStreamingChanged();
}

void ChatViewModel::setVoiceDriven(bool voiceDriven)
{
    if (voiceDriven == m_voiceDriven)
        return;
    m_voiceDriven = voiceDriven;
    emit voiceDrivenChanged();
}

void ChatViewModel::setActive(const QString &label, const QColor &accent)
{
    if (label != m_activeLabel) {
        m_activeLabel = label;
        emit activeLabelChanged();
    }
    if (accent != m_activeAccent) {
        m_activeAccent = accent;
        emit activeAccentChanged();
    }
}

void ChatViewModel::setTarvikConversationActive(bool active)
{
    if (active == m_tarvikConversationActive)
        return;
    m_tarvikConversationActive = active;
    emit tarvikConversationActiveChanged();
}
