#include "UserText.h"

#include <QTextBoundaryFinder>

namespace UserText {

namespace {

// Most text is plain: one code unit per character, and nothing that joins. Anything at or above
// U+0300 (combining marks, surrogates, joiners) or a carriage return takes the full boundary
// analysis.
bool isPlain(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x300 || c == u'\r')
            return false;
    }
    return true;
}

} // namespace

qsizetype perceivedLength(QStringView text)
{
    if (isPlain(text))
        return text.size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), int(text.size()));
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

QString leftPerceived(QStringView text, qsizetype count)
{
    if (count <= 0)
        return {};
    // Only the part that could hold count characters needs the analysis; a cluster running on
    // past it is followed to its end.
    if (text.size() <= count || isPlain(text.first(count + 1)))
        return text.first(qMin(count, text.size())).toString();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), int(text.size()));
    qsizetype taken = 0;
    qsizetype end = 0;
    while (taken < count) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            break;
        end = next;
        ++taken;
    }
    return text.first(end).toString();
}

QString capitalizedWords(QStringView text)
{
    QString result = text.toString().toLower();
    bool wordStart = true;
    for (QChar &c : result) {
        if (c.isSpace()) {
            wordStart = true;
        } else if (wordStart) {
            c = c.toUpper();
            wordStart = false;
        }
    }
    return result;
}

} // namespace UserText
