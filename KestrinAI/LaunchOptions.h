#pragma once

#include <QString>
#include <QStringList>

#include <optional>

/// The program's launch flags, read from its arguments. A flag is present when an argument
/// equals it exactly; a flag with a value ("--map=", "--orb=") is the first argument that
/// begins with it, its value the rest of that argument (possibly empty).
struct LaunchOptions
{
    /// "--export-icon PATH": export the icon set and exit. Ignored when it is the last argument.
    std::optional<QString> exportIconPath;
    bool demo = false;     // "--demo"
    bool kestrin = false;  // "--kestrin"
    bool expand = false;   // "--expand"
    bool setup = false;    // "--setup"
    bool settings = false; // "--settings"
    bool tasks = false;    // "--tasks"
    std::optional<QString> map; // "--map=PLACE"
    std::optional<QString> orb; // "--orb=WORD"

    /// @p arguments as QCoreApplication::arguments() gives them, the program first.
    static LaunchOptions parse(const QStringList &arguments);

    /// The flags again, in parse()'s form, without the program and without "--export-icon":
    /// what a second launch hands to the running one.
    QStringList toArguments() const;

    /// The orb's state for "--orb=": "listening", "thinking" or "speaking" exactly; any other
    /// word gives "listening".
    static QString orbState(const QString &word);
    /// The orb's label: each word's first letter upper-case, the rest lower-case ("foo bar" ->
    /// "Foo Bar").
    static QString orbLabel(const QString &word);

    friend bool operator==(const LaunchOptions &, const LaunchOptions &) = default;
};
