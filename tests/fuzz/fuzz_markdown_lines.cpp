// The transcript's line rewriter and its rich text: bullets and headings rewritten line by line,
// then each line through md4c. Nothing a model writes may reach the view as markup of its own.

#include "FuzzSupport.h"
#include "MarkdownText.h"

#include <QRegularExpression>

namespace {

// The only tags the rich text may hold: ours.
bool onlyOurTags(const QString &html)
{
    static const QRegularExpression tag(QStringLiteral(
        R"(^<(?:/?(?:i|b|s|code|a)|br|div style="[^"<>]*"|/div|a href="(?:https?:|mailto:)[^"<>]*" style="color: #[0-9a-f]{6}")>)"));
    for (qsizetype at = html.indexOf(u'<'); at >= 0; at = html.indexOf(u'<', at + 1)) {
        if (!tag.match(QStringView(html).sliced(at)).hasMatch())
            return false;
    }
    return !html.contains(u'>') || html.count(u'>') == html.count(u'<');
}

void check(const QString &prose)
{
    const QString rewritten = MarkdownText::rewriteLines(prose);
    Fuzz::check(rewritten.count(u'\n') == prose.count(u'\n'), "the rewriter keeps every line");
    Fuzz::check(MarkdownText::rewriteLines(rewritten).count(u'\n') == prose.count(u'\n'), "and again");
    const QString html = MarkdownText::attributed(prose);
    Fuzz::check(html.startsWith(QLatin1String("<div ")) && html.endsWith(QLatin1String("</div>")), "one wrapped body");
    Fuzz::check(onlyOurTags(html), "no markup but ours");
    for (const QString &line : prose.split(u'\n'))
        MarkdownText::isSafeLink(line);
}

} // namespace

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    check(Fuzz::utf8(bytes));
    check(Fuzz::utf16(bytes));
    return 0;
}
