#pragma once

#include "AgentModel.h"
#include "ChatMessage.h"
#include "ChatMessageList.h"
#include "ChatTurn.h"
#include "SpeechManager.h"

#include <QColor>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <memory>
#include <optional>

class ChatReply;
class OllamaError;
class TextStream;

/// The panel's conversation: one transcript per agent, the requests to the local engine that
/// fill them, and the spoken conversation with Tarvik. One per process, owned by the
/// orchestrator; everything runs on the main thread.
///
/// One request is in flight at a time; every new request, typed or spoken, cancels the one
/// before. A chat request that is cancelled finishes at the moment it is cancelled: its partial
/// reply stays in the transcript, the text agent's history takes it, the conversation is saved,
/// and the flags go idle, all before the request that replaced it begins. So a superseded
/// request can never touch the flags, history or transcript of its successor.
class ChatViewModel : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The chat session belongs to the application")
    Q_PROPERTY(AgentModel selectedModel READ selectedModel WRITE setSelectedModel NOTIFY selectedModelChanged)
    Q_PROPERTY(ChatMessageList *messages READ messageList CONSTANT)
    Q_PROPERTY(QString draft READ draft WRITE setDraft NOTIFY draftChanged)
    Q_PROPERTY(bool isThinking READ isThinking NOTIFY isThinkingChanged)
    Q_PROPERTY(bool isStreaming READ isStreaming NOTIFY isStreamingChanged)
    Q_PROPERTY(bool voiceDriven READ voiceDriven NOTIFY voiceDrivenChanged)
    Q_PROPERTY(bool attachScreen READ attachScreen WRITE setAttachScreen NOTIFY attachScreenChanged)
    Q_PROPERTY(QString activeLabel READ activeLabel NOTIFY activeLabelChanged)
    Q_PROPERTY(QColor activeAccent READ activeAccent NOTIFY activeAccentChanged)
    Q_PROPERTY(bool tarvikConversationActive READ tarvikConversationActive NOTIFY tarvikConversationActiveChanged)
    Q_PROPERTY(SpeechManager *speech READ speech CONSTANT)
    Q_PROPERTY(QVariantList agents READ agents CONSTANT)
    Q_PROPERTY(bool canSend READ canSend NOTIFY canSendChanged)

public:
    /// Gives a screenshot as base64 JPEG, or nothing, to @p done on @p context's thread.
    using ScreenCapturer = std::function<void(QObject *context, std::function<void(std::optional<QString>)> done)>;

    /// The program's session: the real speech manager and screen capture.
    explicit ChatViewModel(QObject *parent = nullptr);
    /// With other parts (tests); @p speech is taken over.
    ChatViewModel(SpeechManager *speech, ScreenCapturer capture, QObject *parent = nullptr);
    ~ChatViewModel() override;

    static inline const QString noResponseText = QStringLiteral("I didn't get a response. Try asking again.");
    static inline const QString noScreenText = QStringLiteral(
        "I can't see your screen yet. Check Screen Recording in Kestrin AI's setup window, or turn off "
        "\"Include screen\" to chat without it.");
    static inline const QString notCaughtText = QStringLiteral("Sorry, I didn't catch that.");
    static inline const QString unreachableText = QStringLiteral("Sorry, I can't reach the local model right now.");
    /// What the text agent's requests may carry of the history, in user-perceived characters.
    static constexpr qsizetype contextBudget = 7000;
    /// The most turns the text agent's stored history keeps.
    static constexpr qsizetype maxHistoryTurns = 40;
    /// The transcript on screen follows a streamed reply at most this often.
    static constexpr int updateIntervalMs = 30;

    AgentModel selectedModel() const { return m_selectedModel; }
    void setSelectedModel(AgentModel model);
    /// The agents of the switcher, in order, as AgentModel values.
    static QVariantList agents();
    /// Selects the agent whose id is @p id; an unknown id changes nothing.
    Q_INVOKABLE void selectAgent(const QString &id);
    /// A typed message would go now: the trimmed draft is not blank and no request is thinking
    /// or streaming.
    bool canSend() const;
    /// Return in the input field: sends when canSend, otherwise does nothing.
    Q_INVOKABLE void submitDraft();
    ChatMessageList *messageList() const { return m_messages; }
    QList<ChatMessage> messages() const;
    QString draft() const { return m_draft; }
    void setDraft(const QString &draft);
    bool isThinking() const { return m_isThinking; }
    bool isStreaming() const { return m_isStreaming; }
    bool voiceDriven() const { return m_voiceDriven; }
    bool attachScreen() const { return m_attachScreen; }
    void setAttachScreen(bool attach);
    QString activeLabel() const { return m_activeLabel; }
    QColor activeAccent() const { return m_activeAccent; }
    bool tarvikConversationActive() const { return m_tarvikConversationActive; }
    SpeechManager *speech() const { return m_speech; }

    QList<ChatMessage> orynMessages() const { return m_orynMessages; }
    QList<ChatMessage> kestrinMessages() const { return m_kestrinMessages; }
    QList<ChatTurn> orynHistory() const { return m_orynHistory; }
    QList<ChatTurn> tarvikHistory() const { return m_tarvikHistory; }
    QString tarvikOllamaModel() const { return m_tarvikOllamaModel; }
    /// Whether a request (typed, spoken or Tarvik's) is in flight.
    bool hasCurrentTask() const { return m_request || m_voiceReply; }

    /// Sends the trimmed draft to the selected agent; a blank draft sends nothing and stays.
    Q_INVOKABLE void send();
    /// A suggestion of the empty transcript: the vision agent always looks at the screen.
    Q_INVOKABLE void sendSuggestion(const QString &text);
    void sendDirect(const QString &text, AgentModel model, bool captureScreen, bool speakReply, bool viaVoice);
    /// Stops the request in flight and any speech, and ends a spoken conversation.
    Q_INVOKABLE void cancelCurrent();
    /// Empties the selected agent's transcript (and the text agent's history); a request in
    /// flight goes on.
    Q_INVOKABLE void clear();
    /// The fixed demonstration exchange ("--demo"); not saved.
    void loadDemoConversation();

    /// One spoken turn with Tarvik; the reply is only spoken.
    void sendVoiceOnly(const QString &text, const QString &ollamaModel);
    /// Dictation into the chat (the panel's microphone button), once access is granted.
    Q_INVOKABLE void startVoiceInput();
    /// Ends the dictation; what was said so far is dropped.
    Q_INVOKABLE void stopVoiceInput();
    void endTarvikConversation();

    /// The newest turns whose contents fit contextBudget; the newest is always kept.
    static QList<ChatTurn> trimmedForContext(const QList<ChatTurn> &history);

signals:
    void selectedModelChanged();
    void canSendChanged();
    void draftChanged();
    void isThinkingChanged();
    void isStreamingChanged();
    void voiceDrivenChanged();
    void attachScreenChanged();
    void activeLabelChanged();
    void activeAccentChanged();
    void tarvikConversationActiveChanged();
    /// A request failed with @p description; the transcript shows it next.
    void requestFailed(const QString &description);
    /// The saved conversation was read at creation (whether or not it was taken): for tests.
    void savedConversationLoaded();

private:
    struct Request;

    void startRequest(Request &request, std::optional<QString> image);
    void onPiece(const QString &piece);
    void showReply();
    void finishRequest(bool cancelled);
    void failRequest(const OllamaError &error);
    void cancelCurrentTask();

    QUuid appendMessage(const ChatMessage &message, AgentModel agent, bool save = true);
    void updateMessage(const QUuid &id, const QString &text, AgentModel agent);
    QList<ChatMessage> &listOf(AgentModel agent);
    void saveConversation();

    void observeTarvikConversationContinuation();
    void onSpeakingChanged();

    void setThinking(bool thinking);
    void setStreaming(bool streaming);
    void setVoiceDriven(bool voiceDriven);
    void setActive(const QString &label, const QColor &accent);
    void setTarvikConversationActive(bool active);

    SpeechManager *m_speech;
    ScreenCapturer m_capture;
    ChatMessageList *m_messages;

    AgentModel m_selectedModel = AgentModel::oryn;
    QString m_draft;
    bool m_isThinking = false;
    bool m_isStreaming = false;
    bool m_voiceDriven = false;
    bool m_attachScreen = true;
    QString m_activeLabel;
    QColor m_activeAccent;
    bool m_tarvikConversationActive = false;

    QList<ChatMessage> m_orynMessages;
    QList<ChatMessage> m_kestrinMessages;
    QList<ChatTurn> m_orynHistory;
    QList<ChatTurn> m_tarvikHistory;
    QString m_tarvikOllamaModel;

    std::unique_ptr<Request> m_request;        // the chat request in flight
    std::unique_ptr<ChatReply> m_voiceReply;   // or Tarvik's
    quint64 m_requestsMade = 0;
    QTimer m_catchUp; // shows the reply once pieces stop arriving within the update interval
    bool m_lastSpeaking = false;
};
