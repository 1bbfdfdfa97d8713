#include "UserText.h"

#include <QTextBoundaryFinder>

namespace UserText {

qsizetype perceivedLength(QStringView text)
{
    // Most text is plain: one code unit per character, and nothing that joins. Anything at or
    // above U+0300 (combining marks, surrogates, joiners) or a carriage return takes the full
    // boundary analysis.
    bool plain = true;
    for (const QChar c : text) {
        if (c.unicode() >= 0x300 || c == u'\r') {
            plain = false;
            break;
        }
    }
    if (plain)
        return text.size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), int(text.size()));
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

} // namespace UserText
