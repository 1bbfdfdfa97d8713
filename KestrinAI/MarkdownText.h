#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

/// The light Markdown of the agents' replies, made ready for the transcript: a message is cut
/// into prose and fenced code blocks, and prose becomes Qt rich text (the HTML subset that a
/// QML Text or TextEdit with RichText shows).
///
/// Everything is recomputed on every streamed update: each function is linear in the text's
/// length and keeps no cache. The text comes from a language model, so nothing in the result can
/// make a view load anything: raw HTML shows as written, images show as their alt text, and
/// links are kept only for http, https and mailto.
///
/// C++ calls the static functions; QML reaches them through the singleton `Markdown` (the
/// name `MarkdownText` belongs to the view, views/MarkdownText.qml).
class MarkdownText
{
public:
    struct Block
    {
        enum class Kind { prose, code };
        Kind kind = Kind::prose;
        QString text;

        friend bool operator==(const Block &, const Block &) = default;
    };

    /// The message cut at every "```": even parts are prose (trimmed of white space, dropped
    /// when empty), odd parts code (a first line without a blank is the language tag and goes;
    /// then line breaks, not blanks, are trimmed; dropped when empty). An unclosed fence makes
    /// the rest code. When nothing remains, one prose block with the whole text, untrimmed.
    static QList<Block> blocks(const QString &text);

    /// Each line of @p prose rewritten by its start after leading blanks (spaces only, not
    /// tabs), first match wins: "- " and "* " become "• "; "### ", "## " and "# " make the rest
    /// bold ("**rest**"); both drop the leading blanks. Other lines stay as they are.
    static QString rewriteLines(const QString &prose);

    /// One prose block as rich text: lines rewritten, then inline Markdown (emphasis, strong,
    /// strikethrough, code spans, links, images as alt text) with every blank and line break
    /// kept. Block constructs (lists, quotes, headings, tables, indented code, rules, HTML)
    /// show as written. Inline constructs end at the end of their line. When the parser
    /// refuses the text, it shows plain, with bullets and headings already rewritten.
    static QString attributed(const QString &prose);

    /// The link targets a view may open: http, https and mailto.
    static bool isSafeLink(const QString &url);

    /// Lines longer than this (UTF-8 bytes) are refused by the parser: such a line is not
    /// prose anyone reads, and it bounds the work of a pathological line on every update.
    static constexpr qsizetype maxParsedLine = 64 * 1024;
};

/// QML face of MarkdownText: `Markdown.blocks(text)` gives a list of {kind: "prose" | "code",
/// text}; `Markdown.attributed(prose)`, `Markdown.rewriteLines(prose)` and
/// `Markdown.isSafeLink(url)` are the static functions.
class Markdown : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE QVariantList blocks(const QString &text) const;
    Q_INVOKABLE QString attributed(const QString &prose) const { return MarkdownText::attributed(prose); }
    Q_INVOKABLE QString rewriteLines(const QString &prose) const { return MarkdownText::rewriteLines(prose); }
    Q_INVOKABLE bool isSafeLink(const QString &url) const { return MarkdownText::isSafeLink(url); }
};

/// The blocks of one message as a list model (roles `kind`, "prose" or "code", and `text`) for
/// the view's Repeater. A new text changes only the rows that differ: while a reply streams in,
/// that is the last block, so the blocks before it are neither rebuilt nor laid out again.
class MarkdownBlocks : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)

public:
    enum Role { KindRole = Qt::UserRole + 1, TextRole };

    using QAbstractListModel::QAbstractListModel;

    QString text() const { return m_text; }
    void setText(const QString &text);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void textChanged();

private:
    QString m_text;
    QList<MarkdownText::Block> m_blocks;
};
