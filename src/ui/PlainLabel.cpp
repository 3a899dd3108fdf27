#include "ui/PlainLabel.h"

#include <QFontMetrics>
#include <QTextLayout>

PlainLabel::PlainLabel(int maximumLines, QWidget* parent)
    : QLabel(parent), m_maximumLines(maximumLines)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(maximumLines != 1);
}

void PlainLabel::setFullText(const QString& text)
{
    if (text == m_fullText)
        return;
    m_fullText = text;
    showFitted();
    // The wish for width follows the whole text, also where the shown one,
    // cut to nothing, stays the same.
    updateGeometry();
}

QSize PlainLabel::sizeHint() const
{
    const QSize hint = QLabel::sizeHint();
    if (m_maximumLines != 1 || !m_elided)
        return hint;
    QString oneLine = m_fullText;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const int cut = fontMetrics().horizontalAdvance(text());
    return {hint.width() - cut + fontMetrics().horizontalAdvance(oneLine), hint.height()};
}

QSize PlainLabel::minimumSizeHint() const
{
    // An elided label may shrink to a few characters; its height stays.
    const QSize hint = QLabel::minimumSizeHint();
    return {std::min(hint.width(), fontMetrics().horizontalAdvance(QStringLiteral("M…")) * 2),
            hint.height()};
}

void PlainLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    showFitted();
}

void PlainLabel::showFitted()
{
    const auto [shown, elided] = fitted(contentsRect().width());
    m_elided = elided;
    if (shown != text())
        setText(shown);
}

std::pair<QString, bool> PlainLabel::fitted(int width) const
{
    if (m_maximumLines <= 0 || width <= 0)
        return {m_fullText, false};
    const QFontMetrics metrics(font());
    if (m_maximumLines == 1) {
        QString oneLine = m_fullText;
        oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
        const QString elided = metrics.elidedText(oneLine, Qt::ElideRight, width);
        return {elided, elided != oneLine};
    }
    // Lay the text out as the label will, and cut it after the last line allowed.
    QString laidOut = m_fullText;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(laidOut, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int lines = 0;
    int lastStart = 0;
    bool more = false;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        if (lines == m_maximumLines) {
            more = true;
            break;
        }
        line.setLineWidth(width);
        lastStart = line.textStart();
        ++lines;
    }
    layout.endLayout();
    if (!more)
        return {m_fullText, false};
    QString lastLine = m_fullText.mid(lastStart);
    lastLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    // The last line ends in the ellipsis even where the line itself fits.
    QString elided = metrics.elidedText(lastLine + QStringLiteral("…"), Qt::ElideRight, width);
    if (!elided.endsWith(QStringLiteral("…")))
        elided += QStringLiteral("…");
    return {m_fullText.left(lastStart) + elided, true};
}
