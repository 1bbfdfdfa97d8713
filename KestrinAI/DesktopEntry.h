#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

/// One XDG desktop entry (a "*.desktop" file): the keys of its "[Desktop Entry]" group, and the
/// command line its Exec key gives when the application is opened without files.
///
/// Only what opening an application needs is read: unlocalised values, no actions, no
/// localised names. Nothing here ever goes through a shell: Exec is split by the desktop
/// entry quoting rules into a program and its arguments.
class DesktopEntry
{
public:
    /// Reads @p path; no value when the file cannot be read or has no "[Desktop Entry]" group.
    static std::optional<DesktopEntry> read(const QString &path);
    /// The same from bytes already read; @p path is what %k expands to.
    static std::optional<DesktopEntry> parse(const QByteArray &bytes, const QString &path = {});

    QString filePath() const { return m_path; }

    bool contains(const QString &key) const { return m_values.contains(key); }
    /// A key's value with the escapes of string values undone (\s \n \t \r \\); empty when absent.
    QString value(const QString &key) const { return m_values.value(key); }
    /// "true" or "false" (also the old "1" / "0"); anything else, or absence, is false.
    bool boolean(const QString &key) const;

    QString name() const { return value(QStringLiteral("Name")); }
    bool isApplication() const { return value(QStringLiteral("Type")) == u"Application"; }
    bool isHidden() const { return boolean(QStringLiteral("Hidden")); }
    bool noDisplay() const { return boolean(QStringLiteral("NoDisplay")); }
    bool runsInTerminal() const { return boolean(QStringLiteral("Terminal")); }

    /// False when TryExec names a program that is not installed (absolute and not executable, or
    /// not found in PATH); true when there is no TryExec.
    bool tryExecFound() const;

    /// The program and its arguments for opening the application without files: Exec split
    /// and unquoted, then its field codes expanded (%f %F %u %U and the deprecated ones removed,
    /// %i the icon as "--icon" and its name, %c the name, %k this file, %% a percent sign).
    /// No value when Exec is missing, empty or badly quoted.
    std::optional<QStringList> command() const;

    /// Splits an Exec value (string escapes already undone) at unquoted blanks and undoes the
    /// double quoting (\" \` \$ \\ inside quotes). No value for an unterminated quote.
    static std::optional<QStringList> splitExec(QStringView exec);
    /// Undoes the escapes of a string value.
    static QString unescape(QStringView raw);

private:
    QString m_path;
    QHash<QString, QString> m_values;
};
