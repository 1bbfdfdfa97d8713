// The launch flags: arguments (NUL-separated in the input, as argv holds them) parsed, handed
// to the running instance in their own form, and parsed again to the same flags.

#include "FuzzSupport.h"
#include "LaunchOptions.h"

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList arguments{QStringLiteral("kestrin-ai")};
    for (const QByteArray &argument : QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\0'))
        arguments << QString::fromLocal8Bit(argument);
    const LaunchOptions options = LaunchOptions::parse(arguments);

    LaunchOptions handedOver = options;
    handedOver.exportIconPath.reset(); // exported by the launch itself, never handed over
    const QStringList form = options.toArguments();
    Fuzz::check(LaunchOptions::parse(QStringList{arguments.first()} + form) == handedOver, "the handed-over flags parse the same");
    Fuzz::check(form == handedOver.toArguments(), "the handed-over form is stable");

    if (options.orb) {
        const QString state = LaunchOptions::orbState(*options.orb);
        Fuzz::check(state == u"listening" || state == u"thinking" || state == u"speaking", "a known orb state");
        Fuzz::check(LaunchOptions::orbLabel(*options.orb).size() >= options.orb->size(), "a label keeps every letter");
    }
    return 0;
}
