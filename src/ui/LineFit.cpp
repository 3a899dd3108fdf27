#include "ui/LineFit.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>

namespace LineFit {

namespace {

QTextOption wrapping(Qt::Alignment alignment = Qt::AlignLeft)
{
    QTextOption option(alignment);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return option;
}

// Lays `text` out in lines of `width`, at most `maximumLines` of them (0: all);
// the start of the last line laid out, the lines and whether text is left.
struct Laid
{
    int lastStart = 0;
    int lines = 0;
    bool more = false;
};

Laid layOut(const QString& text, const QFont& font, int width, int maximumLines)
{
    QString laidOut = text;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(laidOut, font);
    layout.setTextOption(wrapping());
    layout.beginLayout();
    Laid laid;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        if (laid.lines == maximumLines && maximumLines > 0) {
            laid.more = true;
            break;
        }
        line.setLineWidth(width);
        laid.lastStart = line.textStart();
        ++laid.lines;
    }
    layout.endLayout();
    return laid;
}

}  // namespace

Fitted fit(const QString& text, const QFont& font, int width, int maximumLines)
{
    if (text.isEmpty())
        return {};
    if (width <= 0)
        return {text, false, 1};
    const QFontMetrics metrics(font);
    if (maximumLines == 1) {
        QString oneLine = text;
        oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
        const QString elided = metrics.elidedText(oneLine, Qt::ElideRight, width);
        return {elided, elided != oneLine, 1};
    }
    // Laying out a long text costs time in proportion to all of it: a
    // beginning that fills the lines allowed decides them. Characters are
    // at least 2 pixels wide in practice; where the beginning falls short of
    // the lines, the whole text is laid out.
    const qsizetype enough = qsizetype(maximumLines) * (width / 2 + 1);
    Laid laid;
    if (maximumLines > 0 && text.size() > enough) {
        laid = layOut(text.left(enough), font, width, maximumLines);
        if (!laid.more)
            laid = layOut(text, font, width, maximumLines);
    } else {
        laid = layOut(text, font, width, maximumLines);
    }
    if (!laid.more)
        return {text, false, laid.lines};
    QString lastLine = text.mid(laid.lastStart, enough);
    lastLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    // The last line ends in the ellipsis even where the line itself fits.
    QString elided = metrics.elidedText(lastLine + QStringLiteral("…"), Qt::ElideRight, width);
    if (!elided.endsWith(QStringLiteral("…")))
        elided += QStringLiteral("…");
    return {text.left(laid.lastStart) + elided, true, laid.lines};
}

void draw(QPainter& painter, const QRect& rect, const QString& fitted, const QFont& font,
          Qt::Alignment alignment)
{
    QString laidOut = fitted;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(laidOut, font);
    layout.setTextOption(wrapping(alignment));
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(rect.width());
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    layout.draw(&painter, rect.topLeft());
}

}
