// The transcript's block splitter: prose and fenced code, and the list model that changes only
// the rows that differ while a reply grows.

#include "FuzzSupport.h"
#include "MarkdownText.h"

namespace {

void check(const QString &text)
{
    const QList<MarkdownText::Block> blocks = MarkdownText::blocks(text);
    Fuzz::check(!blocks.isEmpty(), "at least one block");
    if (blocks.size() == 1 && blocks[0].kind == MarkdownText::Block::Kind::prose && blocks[0].text == text)
        return; // nothing to cut, or nothing left: the text as it is
    qsizetype at = 0;
    for (const MarkdownText::Block &block : blocks) {
        Fuzz::check(!block.text.isEmpty(), "no empty block");
        if (block.kind == MarkdownText::Block::Kind::prose)
            Fuzz::check(block.text == block.text.trimmed(), "prose is trimmed");
        else
            Fuzz::check(!block.text.startsWith(u'\n') && !block.text.endsWith(u'\n'), "code has no outer line breaks");
        Fuzz::check(!block.text.contains(QLatin1String("```")), "no fence inside a block");
        const qsizetype found = text.indexOf(block.text, at);
        Fuzz::check(found >= 0, "each block is a piece of the text, in order");
        at = found + block.text.size();
    }
}

void checkModel(const QString &earlier, const QString &text)
{
    MarkdownBlocks model;
    model.setText(earlier);
    model.setText(text); // as a streamed reply grows, or is replaced
    const QList<MarkdownText::Block> blocks = text.isEmpty() ? QList<MarkdownText::Block>() : MarkdownText::blocks(text);
    Fuzz::check(model.rowCount() == blocks.size(), "one row per block, none for no text");
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row);
        const bool code = blocks[row].kind == MarkdownText::Block::Kind::code;
        Fuzz::check(model.data(index, MarkdownBlocks::TextRole).toString() == blocks[row].text, "a row holds its block");
        Fuzz::check(model.data(index, MarkdownBlocks::KindRole).toString() == (code ? u"code" : u"prose"), "a row's kind");
    }
}

} // namespace

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    for (const QString &text : {Fuzz::utf8(bytes), Fuzz::utf16(bytes)}) {
        check(text);
        checkModel(text.first(text.size() / 2), text);
        checkModel(text, text.first(text.size() / 3));
    }
    return 0;
}
