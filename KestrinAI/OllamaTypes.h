#pragma once

#include <QByteArrayView>
#include <QMetaType>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

/// The engine client's error. Its description is what the user reads, in the transcript and in
/// the setup window.
class OllamaError
{
public:
    enum class Kind {
        badResponse, ///< an HTTP reply whose status is not exactly 200
        unreachable, ///< connection refused or lost, or a reply that is not HTTP
        transport,   ///< any other failure (an idle time-out, say), passed on with its own text
    };

    static OllamaError badResponse(int status) { return OllamaError(Kind::badResponse, status, {}); }
    static OllamaError unreachable() { return OllamaError(Kind::unreachable, 0, {}); }
    static OllamaError transport(const QString &description) { return OllamaError(Kind::transport, 0, description); }

    OllamaError() = default;
    Kind kind() const { return m_kind; }
    /// The HTTP status of a badResponse, else 0.
    int status() const { return m_status; }
    /// The text the user sees.
    QString errorDescription() const;
    /// The error as the log shows it: its kind and payload, for example "badResponse(500)".
    QString debugDescription() const;

    friend bool operator==(const OllamaError &, const OllamaError &) = default;

private:
    OllamaError(Kind kind, int status, QString description)
        : m_kind(kind), m_status(status), m_description(std::move(description)) { }

    Kind m_kind = Kind::unreachable;
    int m_status = 0;
    QString m_description;
};

/// One step of a model download, one per line of the engine's reply.
struct PullProgress
{
    QString status; ///< the engine's status words; empty when the line carried none
    std::optional<QString> digest;
    std::optional<qint64> total;     ///< bytes of the current layer
    std::optional<qint64> completed; ///< bytes of it received so far

    friend bool operator==(const PullProgress &, const PullProgress &) = default;
};

/// One download's progress over its layers, from the engine's progress lines. Only the layers
/// announced so far count, so a new layer may make the fraction drop; sums saturate instead of
/// overflowing on absurd sizes.
class PullTracker
{
public:
    void add(const PullProgress &step);
    qint64 total() const { return m_total; }
    qint64 completed() const { return m_completed; }
    /// completed / total; nothing until a layer with a size was announced.
    std::optional<double> fraction() const;
    /// The engine said "success".
    bool succeeded() const { return m_succeeded; }

private:
    QHash<QString, std::pair<qint64, qint64>> m_layers; // digest -> (total, completed) bytes
    qint64 m_total = 0;
    qint64 m_completed = 0;
    bool m_succeeded = false;
};

// Records of the engine's replies, decoded from one JSON object each. A missing key or a JSON
// null gives an absent field; a present field of the wrong type fails the whole record (and the
// stream skips the line). Unknown keys are ignored.

struct ChatChunk
{
    struct Message
    {
        std::optional<QString> content;
    };
    std::optional<Message> message;
    std::optional<bool> done;

    static std::optional<ChatChunk> decode(QByteArrayView json);
};

struct GenerateChunk
{
    std::optional<QString> response;
    std::optional<bool> done;

    static std::optional<GenerateChunk> decode(QByteArrayView json);
};

struct PullChunk
{
    std::optional<QString> status;
    std::optional<QString> digest;
    std::optional<qint64> total;
    std::optional<qint64> completed;

    static std::optional<PullChunk> decode(QByteArrayView json);
};

/// The body of "api/tags": "models" is required and each entry needs a "name".
struct TagsResponse
{
    QStringList models;

    static std::optional<TagsResponse> decode(QByteArrayView json);
};

Q_DECLARE_METATYPE(OllamaError)
Q_DECLARE_METATYPE(PullProgress)
