#pragma once

// How the target programs keep a text on one line of their output: a
// backslash is written as two backslashes, a line break as a backslash and
// "n", a NUL as a backslash and "0".
#include <QString>

inline QString escapedForLine(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QChar(0), QLatin1String("\\0"));
}

inline QString unescapedFromLine(const QString& text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('\\') || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const QChar next = text[++i];
        out += next == QLatin1Char('n') ? QChar(QLatin1Char('\n'))
            : next == QLatin1Char('0')  ? QChar(0)
                                        : next;
    }
    return out;
}
