#include "LaunchOptions.h"

#include "UserText.h"

namespace {

std::optional<QString> valueOf(const QStringList &arguments, QLatin1String prefix)
{
    for (const QString &argument : arguments)
        if (argument.startsWith(prefix))
            return argument.mid(prefix.size());
    return std::nullopt;
}

} // namespace

LaunchOptions LaunchOptions::parse(const QStringList &arguments)
{
    const QStringList flags = arguments.mid(1);
    LaunchOptions options;
    const qsizetype exportAt = flags.indexOf(QLatin1String("--export-icon"));
    if (exportAt >= 0 && exportAt + 1 < flags.size())
        options.exportIconPath = flags.at(exportAt + 1);
    options.demo = flags.contains(QLatin1String("--demo"));
    options.kestrin = flags.contains(QLatin1String("--kestrin"));
    options.expand = flags.contains(QLatin1String("--expand"));
    options.setup = flags.contains(QLatin1String("--setup"));
    options.settings = flags.contains(QLatin1String("--settings"));
    options.tasks = flags.contains(QLatin1String("--tasks"));
    options.map = valueOf(flags, QLatin1String("--map="));
    options.orb = valueOf(flags, QLatin1String("--orb="));
    return options;
}

QStringList LaunchOptions::toArguments() const
{
    QStringList arguments;
    const auto add = [&arguments](bool on, const char *flag) {
        if (on)
            arguments << QLatin1String(flag);
    };
    add(demo, "--demo");
    add(kestrin, "--kestrin");
    add(expand, "--expand");
    add(setup, "--setup");
    add(settings, "--settings");
    add(tasks, "--tasks");
    if (map)
        arguments << QLatin1String("--map=") + *map;
    if (orb)
        arguments << QLatin1String("--orb=") + *orb;
    return arguments;
}

QString LaunchOptions::orbState(const QString &word)
{
    if (word == QLatin1String("thinking") || word == QLatin1String("speaking"))
        return word;
    return QStringLiteral("listening");
}

QString LaunchOptions::orbLabel(const QString &word)
{
    return UserText::capitalizedWords(word);
}
