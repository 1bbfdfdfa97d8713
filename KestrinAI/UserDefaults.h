#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <mutex>
#include <optional>
#include <variant>

/// The per-user defaults store: a persistent map from text keys to typed values (text, boolean,
/// double, data). One JSON document, rewritten atomically (mode 0600) on every change.
///
/// The values keep their type: a boolean reads back as a boolean, never as the number 1, and an
/// absent key is distinct from every value. A file that cannot be read or parsed is treated as
/// empty (one log line says so); it is kept beside as "<name>.corrupt" and replaced on the next
/// write. Reads and writes are safe from any thread.
class UserDefaults
{
public:
    using Value = std::variant<QString, bool, double, QByteArray>;

    /// The program's store, `$XDG_CONFIG_HOME/Kestrin AI/defaults.json`.
    static UserDefaults &standard();

    /// A store on its own file; the file is read on first access.
    explicit UserDefaults(QString filePath);

    QString filePath() const { return m_path; }

    std::optional<Value> value(const QString &key) const;
    bool contains(const QString &key) const { return value(key).has_value(); }

    /// Typed reads: no value when the key is absent or holds another type.
    std::optional<QString> text(const QString &key) const;
    std::optional<bool> boolean(const QString &key) const;
    std::optional<double> number(const QString &key) const;
    std::optional<QByteArray> data(const QString &key) const;

    /// Stores @p value under @p key and writes the file at once. A double that is not finite is
    /// refused (JSON cannot hold it).
    /// @return false when the file could not be written (the value is still kept in memory).
    bool set(const QString &key, const Value &value);
    bool remove(const QString &key);

private:
    void loadLocked() const;
    bool writeLocked();

    QString m_path;
    mutable std::mutex m_mutex;
    mutable bool m_loaded = false;
    mutable bool m_corrupt = false; // the file on disk could not be parsed
    mutable QHash<QString, Value> m_values;
};
