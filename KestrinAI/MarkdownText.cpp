#include "MarkdownText.h"

#include "Theme.h"

#include <QUrl>
#include <QVarLengthArray>
#include <QVariantMap>

#include <md4c.h>

namespace {

bool isLineBreak(QChar c)
{
    // What "newlines" means when trimming code: every Unicode line terminator, never blanks.
    const char16_t u = c.unicode();
    return u == u'\n' || u == u'\r' || u == u'\v' || u == u'\f' || u == 0x85 || u == 0x2028 || u == 0x2029;
}

QStringView trimmedLineBreaks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isLineBreak(text[begin]))
        ++begin;
    while (end > begin && isLineBreak(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

void appendEscaped(QString &out, QStringView text)
{
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'&': out += u"&amp;"; break;
        case u'<': out += u"&lt;"; break;
        case u'>': out += u"&gt;"; break;
        case u'"': out += u"&quot;"; break;
        default: out += c;
        }
    }
}

void appendEscapedUtf8(QString &out, const char *text, qsizetype size)
{
    appendEscaped(out, QString::fromUtf8(text, size));
}

void appendRewritten(QString &out, QStringView line)
{
    qsizetype blanks = 0;
    while (blanks < line.size() && line[blanks] == u' ')
        ++blanks;
    const QStringView rest = line.sliced(blanks);
    if (rest.startsWith(u"- ") || rest.startsWith(u"* ")) {
        out += u"• ";
        out += rest.sliced(2);
    } else if (rest.startsWith(u"### ")) {
        out += u"**";
        out += rest.sliced(4);
        out += u"**";
    } else if (rest.startsWith(u"## ")) {
        out += u"**";
        out += rest.sliced(3);
        out += u"**";
    } else if (rest.startsWith(u"# ")) {
        out += u"**";
        out += rest.sliced(2);
        out += u"**";
    } else {
        out += line;
    }
}

// The line-height style makes the view's extra line spacing part of the text, because a
// TextEdit (needed for selection) has no line spacing of its own.
QString wrapped(const QString &body)
{
    return QStringLiteral("<div style=\"white-space: pre-wrap; line-height: 3.5px; "
                          "-qt-line-height-type: line-distance\">")
        + body + QStringLiteral("</div>");
}

/// An entity as the character it names; unknown names show as written.
QString decodedEntity(QStringView entity)
{
    static const QHash<QString, char16_t> named = {
        {QStringLiteral("amp"), u'&'},     {QStringLiteral("lt"), u'<'},       {QStringLiteral("gt"), u'>'},
        {QStringLiteral("quot"), u'"'},    {QStringLiteral("apos"), u'\''},    {QStringLiteral("nbsp"), 0xA0},
        {QStringLiteral("copy"), 0xA9},    {QStringLiteral("reg"), 0xAE},      {QStringLiteral("trade"), 0x2122},
        {QStringLiteral("hellip"), 0x2026}, {QStringLiteral("mdash"), 0x2014}, {QStringLiteral("ndash"), 0x2013},
        {QStringLiteral("lsquo"), 0x2018}, {QStringLiteral("rsquo"), 0x2019},  {QStringLiteral("ldquo"), 0x201C},
        {QStringLiteral("rdquo"), 0x201D}, {QStringLiteral("bull"), 0x2022},   {QStringLiteral("middot"), 0xB7},
        {QStringLiteral("times"), 0xD7},   {QStringLiteral("divide"), 0xF7},   {QStringLiteral("deg"), 0xB0},
        {QStringLiteral("euro"), 0x20AC},  {QStringLiteral("rarr"), 0x2192},   {QStringLiteral("larr"), 0x2190},
    };
    // md4c hands over only well-formed entities: "&name;", "&#digits;" or "&#xhex;".
    const QStringView inner = entity.sliced(1, entity.size() - 2);
    if (inner.startsWith(u'#')) {
        const bool hex = inner.size() > 1 && (inner[1] == u'x' || inner[1] == u'X');
        bool ok = false;
        const uint code = inner.sliced(hex ? 2 : 1).toUInt(&ok, hex ? 16 : 10);
        if (!ok || code == 0 || code > 0x10FFFF || QChar::isSurrogate(code))
            return QString(QChar::ReplacementCharacter);
        const char32_t ucs4 = code;
        return QString::fromUcs4(&ucs4, 1);
    }
    if (const auto it = named.constFind(inner.toString()); it != named.constEnd())
        return QString(QChar(it.value()));
    return entity.toString();
}

QString attributeText(const MD_ATTRIBUTE &attribute)
{
    QString text;
    for (unsigned i = 0; attribute.substr_offsets[i] < attribute.size; ++i) {
        const MD_OFFSET begin = attribute.substr_offsets[i];
        const MD_OFFSET end = attribute.substr_offsets[i + 1];
        const QString piece = QString::fromUtf8(attribute.text + begin, end - begin);
        switch (attribute.substr_types[i]) {
        case MD_TEXT_ENTITY: text += decodedEntity(piece); break;
        case MD_TEXT_NULLCHAR: text += QChar(QChar::ReplacementCharacter); break;
        default: text += piece;
        }
    }
    return text;
}

// Each line is handed to md4c on its own, after a zero-width-space entity. A paragraph that
// starts with "&" cannot open any block construct (list, quote, heading, rule, fence, HTML,
// link definition, indented code), and the entity keeps md4c from eating leading blanks. The
// marker is always the first text event, so it is dropped there. One line at a time also
// rules out setext headings and tables, and keeps every break where it was written.
constexpr char lineMarker[] = "&#8203;";

struct LineRenderer
{
    QString &out;
    bool markerSeen = false;
    int imageDepth = 0;                // alt text is plain: no tags inside an image
    QVarLengthArray<bool, 4> anchors;  // per open link: whether an <a> was written

    static LineRenderer &of(void *userdata) { return *static_cast<LineRenderer *>(userdata); }

    static int enterBlock(MD_BLOCKTYPE, void *, void *) { return 0; }
    static int leaveBlock(MD_BLOCKTYPE, void *, void *) { return 0; }

    static int enterSpan(MD_SPANTYPE type, void *detail, void *userdata)
    {
        LineRenderer &r = of(userdata);
        if (type == MD_SPAN_IMG) {
            ++r.imageDepth;
            return 0;
        }
        if (type == MD_SPAN_A) {
            const QString href = attributeText(static_cast<MD_SPAN_A_DETAIL *>(detail)->href);
            const bool kept = r.imageDepth == 0 && MarkdownText::isSafeLink(href);
            r.anchors.append(kept);
            if (kept) {
                r.out += u"<a href=\"";
                appendEscaped(r.out, QString::fromLatin1(QUrl(href).toEncoded()));
                r.out += u"\" style=\"color: ";
                r.out += Theme::brand().name();
                r.out += u"\">";
            }
            return 0;
        }
        if (r.imageDepth == 0)
            r.out += tagFor(type, false);
        return 0;
    }

    static int leaveSpan(MD_SPANTYPE type, void *, void *userdata)
    {
        LineRenderer &r = of(userdata);
        if (type == MD_SPAN_IMG) {
            --r.imageDepth;
        } else if (type == MD_SPAN_A) {
            if (!r.anchors.isEmpty() && r.anchors.last())
                r.out += u"</a>";
            if (!r.anchors.isEmpty())
                r.anchors.removeLast();
        } else if (r.imageDepth == 0) {
            r.out += tagFor(type, true);
        }
        return 0;
    }

    static QLatin1StringView tagFor(MD_SPANTYPE type, bool closing)
    {
        switch (type) {
        case MD_SPAN_EM: return closing ? QLatin1StringView("</i>") : QLatin1StringView("<i>");
        case MD_SPAN_STRONG: return closing ? QLatin1StringView("</b>") : QLatin1StringView("<b>");
        case MD_SPAN_DEL: return closing ? QLatin1StringView("</s>") : QLatin1StringView("<s>");
        case MD_SPAN_CODE: return closing ? QLatin1StringView("</code>") : QLatin1StringView("<code>");
        default: return {};
        }
    }

    static int text(MD_TEXTTYPE type, const MD_CHAR *text, MD_SIZE size, void *userdata)
    {
        LineRenderer &r = of(userdata);
        if (!r.markerSeen) {
            r.markerSeen = true;
            if (type == MD_TEXT_ENTITY)
                return 0;
            return -1; // the marker must come first; anything else means we misread the line
        }
        switch (type) {
        case MD_TEXT_NULLCHAR: r.out += QChar(QChar::ReplacementCharacter); break;
        case MD_TEXT_BR:
        case MD_TEXT_SOFTBR: r.out += u"<br>"; break;
        case MD_TEXT_ENTITY: appendEscaped(r.out, decodedEntity(QString::fromUtf8(text, size))); break;
        default: appendEscapedUtf8(r.out, text, size); // normal, code, and HTML shown as written
        }
        return 0;
    }
};

/// One line (no "\n", no "\r") as rich text appended to @p out; false when md4c refuses it.
bool appendParsedLine(QString &out, QStringView line, QByteArray &buffer)
{
    // md4c drops trailing blanks of a paragraph; keep them ourselves.
    qsizetype end = line.size();
    while (end > 0 && (line[end - 1] == u' ' || line[end - 1] == u'\t' || line[end - 1] == u'\f' || line[end - 1] == u'\v'))
        --end;
    if (end == 0) {
        appendEscaped(out, line);
        return true;
    }
    buffer = lineMarker;
    buffer += line.first(end).toUtf8();
    if (buffer.size() > MarkdownText::maxParsedLine)
        return false;

    MD_PARSER parser {};
    parser.abi_version = 0;
    parser.flags = MD_FLAG_NOHTML | MD_FLAG_STRIKETHROUGH | MD_FLAG_NOINDENTEDCODEBLOCKS;
    parser.enter_block = &LineRenderer::enterBlock;
    parser.leave_block = &LineRenderer::leaveBlock;
    parser.enter_span = &LineRenderer::enterSpan;
    parser.leave_span = &LineRenderer::leaveSpan;
    parser.text = &LineRenderer::text;
    LineRenderer renderer {out, false, 0, {}};
    if (md_parse(buffer.constData(), MD_SIZE(buffer.size()), &parser, &renderer) != 0)
        return false;
    appendEscaped(out, line.sliced(end));
    return true;
}

} // namespace

QList<MarkdownText::Block> MarkdownText::blocks(const QString &text)
{
    static constexpr QStringView fence = u"```";
    QList<Block> result;
    qsizetype start = 0;
    for (bool code = false;; code = !code) {
        const qsizetype next = text.indexOf(fence, start);
        QStringView part = QStringView(text).sliced(start, (next < 0 ? text.size() : next) - start);
        if (!code) {
            part = part.trimmed();
            if (!part.isEmpty())
                result.append({Block::Kind::prose, part.toString()});
        } else {
            // A first line without a blank is the language tag (possibly empty); a first line
            // with one is already code, such as a one-line command.
            const qsizetype lineEnd = part.indexOf(u'\n');
            if (lineEnd >= 0 && !part.first(lineEnd).contains(u' '))
                part = part.sliced(lineEnd + 1);
            part = trimmedLineBreaks(part); // blanks stay: they are the indentation
            if (!part.isEmpty())
                result.append({Block::Kind::code, part.toString()});
        }
        if (next < 0)
            break;
        start = next + fence.size();
    }
    if (result.isEmpty())
        result.append({Block::Kind::prose, text});
    return result;
}

QString MarkdownText::rewriteLines(const QString &prose)
{
    QString out;
    out.reserve(prose.size());
    bool first = true;
    for (const QStringView line : QStringView(prose).tokenize(u'\n')) {
        if (!first)
            out += u'\n';
        first = false;
        appendRewritten(out, line);
    }
    return out;
}

QString MarkdownText::attributed(const QString &prose)
{
    QString body;
    body.reserve(prose.size() + prose.size() / 4 + 16);
    QString line;
    QByteArray buffer;
    bool first = true;
    bool refused = false;
    for (const QStringView rawLine : QStringView(prose).tokenize(u'\n')) {
        if (!first)
            body += u"<br>";
        first = false;
        line.clear();
        appendRewritten(line, rawLine);
        // md4c also ends a line at "\r": a CR before the line's end is dropped as part of a
        // CRLF, any other one breaks the line, so each piece is parsed on its own.
        QStringView rest(line);
        if (rest.endsWith(u'\r'))
            rest.chop(1);
        bool firstPiece = true;
        for (const QStringView piece : rest.tokenize(u'\r')) {
            if (!firstPiece)
                body += u"<br>";
            firstPiece = false;
            if (!appendParsedLine(body, piece, buffer)) {
                refused = true;
                break;
            }
        }
        if (refused)
            break;
    }
    if (refused) {
        body.clear();
        const QString plain = rewriteLines(prose);
        for (const QChar c : plain) {
            if (c == u'\n' || c == u'\r')
                body += u"<br>";
            else
                appendEscaped(body, QStringView(&c, 1));
        }
    }
    return wrapped(body);
}

bool MarkdownText::isSafeLink(const QString &url)
{
    const QUrl parsed(url);
    if (!parsed.isValid())
        return false;
    const QString scheme = parsed.scheme().toLower();
    if (scheme == u"http" || scheme == u"https")
        return !parsed.host().isEmpty();
    return scheme == u"mailto" && !parsed.path().isEmpty();
}

namespace {

QString kindName(MarkdownText::Block::Kind kind)
{
    return kind == MarkdownText::Block::Kind::code ? QStringLiteral("code") : QStringLiteral("prose");
}

} // namespace

QVariantList Markdown::blocks(const QString &text) const
{
    QVariantList list;
    const QList<MarkdownText::Block> blocks = MarkdownText::blocks(text);
    list.reserve(blocks.size());
    for (const MarkdownText::Block &block : blocks) {
        list.append(QVariantMap {
            {QStringLiteral("kind"), kindName(block.kind)},
            {QStringLiteral("text"), block.text},
        });
    }
    return list;
}

void MarkdownBlocks::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    // No rows for no text, as before the first setText: else the rows would depend on history.
    QList<MarkdownText::Block> blocks = text.isEmpty() ? QList<MarkdownText::Block>() : MarkdownText::blocks(text);
    const qsizetype common = std::min(blocks.size(), m_blocks.size());
    for (qsizetype row = 0; row < common; ++row) {
        if (blocks[row] == m_blocks[row])
            continue;
        QList<int> roles;
        if (blocks[row].kind != m_blocks[row].kind)
            roles << KindRole;
        if (blocks[row].text != m_blocks[row].text)
            roles << TextRole;
        m_blocks[row] = blocks[row];
        emit dataChanged(index(int(row)), index(int(row)), roles);
    }
    if (blocks.size() > common) {
        beginInsertRows({}, int(common), int(blocks.size() - 1));
        m_blocks.append(blocks.sliced(common));
        endInsertRows();
    } else if (m_blocks.size() > common) {
        beginRemoveRows({}, int(common), int(m_blocks.size() - 1));
        m_blocks.resize(common);
        endRemoveRows();
    }
    emit textChanged();
}

int MarkdownBlocks::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_blocks.size());
}

QVariant MarkdownBlocks::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const MarkdownText::Block &block = m_blocks[index.row()];
    switch (role) {
    case KindRole: return kindName(block.kind);
    case TextRole: return block.text;
    default: return {};
    }
}

QHash<int, QByteArray> MarkdownBlocks::roleNames() const
{
    return {{KindRole, "kind"}, {TextRole, "text"}};
}
