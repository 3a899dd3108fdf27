#include "support/FakeAccessibleElement.h"

TextSpan FakeField::selection() const
{
    const qsizetype size = value ? value->size() : 0;
    if (selectionStart < 0)
        return {size, size};
    const qsizetype start = std::min(selectionStart, size);
    return {start, std::clamp(selectionEnd, start, size)};
}

bool FakeAccessibleElement::goesUnanswered(const QString& request) const
{
    if (!m_field->unanswered.contains(request))
        return false;
    if (m_unansweredHandler)
        m_unansweredHandler(UnansweredRequest{request, false, std::chrono::milliseconds(1000)});
    return true;
}

QString FakeAccessibleElement::role() const
{
    return goesUnanswered(QStringLiteral("role")) ? QStringLiteral("unknown") : m_field->role;
}

bool FakeAccessibleElement::isPasswordField() const
{
    return goesUnanswered(QStringLiteral("password state")) || m_field->password;
}

std::optional<QString> FakeAccessibleElement::value() const
{
    if (goesUnanswered(QStringLiteral("value")))
        return std::nullopt;
    ++m_field->valueReads;
    return m_field->value;
}

std::optional<TextSpan> FakeAccessibleElement::selection() const
{
    if (goesUnanswered(QStringLiteral("selection")))
        return std::nullopt;
    ++m_field->selectionReads;
    if (!m_field->value)
        return std::nullopt;
    return m_field->selection();
}

int FakeAccessibleElement::replaceText(TextSpan span, const QString& text)
{
    if (goesUnanswered(QStringLiteral("write")))
        return -3;
    if (m_field->writeError != 0)
        return m_field->writeError;
    m_field->writes.append(text);
    m_field->spansWritten.append(span);
    if (m_field->valueGoneAfterWrite)
        m_field->value.reset();
    if (!m_field->writeTakesEffect || !m_field->value)
        return 0;
    if (m_field->valueAfterWrite) {
        m_field->value = m_field->valueAfterWrite;
        return 0;
    }
    const QString inserted = m_field->writeMangles ? m_field->writeMangles(text) : text;
    m_field->value = m_field->value->left(span.start) + inserted + m_field->value->mid(span.end);
    m_field->selectionStart = m_field->selectionEnd = span.start + inserted.size();
    return 0;
}

int FakeAccessibleElement::select(TextSpan span)
{
    if (goesUnanswered(QStringLiteral("selection change")))
        return -3;
    m_field->selected.append(span);
    m_field->selectionStart = span.start;
    m_field->selectionEnd = span.end;
    return 0;
}
