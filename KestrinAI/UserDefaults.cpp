#include "UserDefaults.h"

#include "AppPaths.h"
#include "DebugLog.h"
#include "PrivateFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

// File form: {"key": "text" | true | 1.5 | {"data": "<base64>"}, ...}. Text, booleans and numbers
// are JSON's own types, so the file stays readable; data is the one tagged form.

namespace {

constexpr auto dataTag = "data";

std::optional<UserDefaults::Value> decode(const QJsonValue &json)
{
    switch (json.type()) {
    case QJsonValue::String:
        return json.toString();
    case QJsonValue::Bool:
        return json.toBool();
    case QJsonValue::Double:
        return json.toDouble();
    case QJsonValue::Object: {
        const QJsonObject object = json.toObject();
        const QJsonValue encoded = object.value(QLatin1String(dataTag));
        if (object.size() != 1 || !encoded.isString())
            return std::nullopt;
        auto result = QByteArray::fromBase64Encoding(encoded.toString().toLatin1(),
                                                     QByteArray::AbortOnBase64DecodingErrors);
        if (!result)
            return std::nullopt;
        return *result;
    }
    default:
        return std::nullopt;
    }
}

QJsonValue encode(const UserDefaults::Value &value)
{
    return std::visit(
        [](const auto &v) -> QJsonValue {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, QByteArray>)
                return QJsonObject{{QLatin1String(dataTag), QString::fromLatin1(v.toBase64())}};
            else
                return QJsonValue(v);
        },
        value);
}

template<typename T>
std::optional<T> typed(const std::optional<UserDefaults::Value> &value)
{
    if (value && std::holds_alternative<T>(*value))
        return std::get<T>(*value);
    return std::nullopt;
}

} // namespace

UserDefaults &UserDefaults::standard()
{
    static UserDefaults store(QDir(AppPaths::configDir()).filePath(QStringLiteral("defaults.json")));
    return store;
}

UserDefaults::UserDefaults(QString filePath)
    : m_path(std::move(filePath))
{
}

void UserDefaults::loadLocked() const
{
    if (m_loaded)
        return;
    m_loaded = true;
    const std::optional<QByteArray> bytes = PrivateFile::read(m_path);
    if (!bytes)
        return; // no file yet: an empty store
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        m_corrupt = true;
        DebugLog::log(QStringLiteral("UserDefaults: unreadable file %1, starting empty").arg(m_path));
        return;
    }
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        // One odd entry (edited by hand, say) costs that entry only.
        if (auto value = decode(it.value()))
            m_values.insert(it.key(), *value);
    }
}

bool UserDefaults::writeLocked()
{
    QJsonObject object;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        object.insert(it.key(), encode(it.value()));
    const QString dir = QFileInfo(m_path).absolutePath();
    if (!PrivateFile::ensureDir(dir))
        return false;
    if (m_corrupt) {
        // Whatever the user had is kept once beside the new file rather than overwritten.
        const QString aside = m_path + QStringLiteral(".corrupt");
        QFile::remove(aside);
        QFile::rename(m_path, aside);
        m_corrupt = false;
    }
    return PrivateFile::writeAtomically(m_path, QJsonDocument(object).toJson(QJsonDocument::Indented));
}

std::optional<UserDefaults::Value> UserDefaults::value(const QString &key) const
{
    const std::lock_guard lock(m_mutex);
    loadLocked();
    const auto it = m_values.constFind(key);
    if (it == m_values.cend())
        return std::nullopt;
    return *it;
}

std::optional<QString> UserDefaults::text(const QString &key) const
{
    return typed<QString>(value(key));
}

std::optional<bool> UserDefaults::boolean(const QString &key) const
{
    return typed<bool>(value(key));
}

std::optional<double> UserDefaults::number(const QString &key) const
{
    return typed<double>(value(key));
}

std::optional<QByteArray> UserDefaults::data(const QString &key) const
{
    return typed<QByteArray>(value(key));
}

bool UserDefaults::set(const QString &key, const Value &value)
{
    // JSON has no NaN or infinity; such a value would come back as an absent key.
    if (const double *number = std::get_if<double>(&value); number && !std::isfinite(*number))
        return false;
    const std::lock_guard lock(m_mutex);
    loadLocked();
    m_values.insert(key, value);
    return writeLocked();
}

bool UserDefaults::remove(const QString &key)
{
    const std::lock_guard lock(m_mutex);
    loadLocked();
    if (!m_values.remove(key))
        return true;
    return writeLocked();
}
