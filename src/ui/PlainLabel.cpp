#include "ui/PlainLabel.h"

#include <QFontMetrics>

#include "ui/LineFit.h"

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
    const LineFit::Fitted fitted = LineFit::fit(m_fullText, font(), width, m_maximumLines);
    return {fitted.text, fitted.elided};
}
