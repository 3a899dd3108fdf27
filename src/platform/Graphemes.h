#pragma once

#include <QString>

// Texts measured in user-perceived characters (grapheme clusters), so that an
// emoji or a letter with combining marks counts once and is never cut in half.
namespace Graphemes {
int count(const QString& text);
// The first `n` characters of `text` (all of it when it is shorter).
QString left(const QString& text, int n);
}
