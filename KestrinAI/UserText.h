#pragma once

#include <QString>
#include <QStringView>

/// Text measured and shaped the way a reader sees it.
namespace UserText {

/// The number of user-perceived characters (extended grapheme clusters): "é" written as e plus
/// a combining accent, a flag, or an emoji with skin tone each count once, and so does "\r\n".
qsizetype perceivedLength(QStringView text);

/// The first @p count user-perceived characters of @p text (all of it when it has fewer); a
/// character is never cut in the middle.
QString leftPerceived(QStringView text, qsizetype count);

/// Each word's first letter upper-case and the rest lower-case: "visual STUDIO code" ->
/// "Visual Studio Code". Words are separated by white space.
QString capitalizedWords(QStringView text);

} // namespace UserText
