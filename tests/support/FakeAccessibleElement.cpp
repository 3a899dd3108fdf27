#include "support/FakeAccessibleElement.h"

std::optional<QString> FakeAccessibleElement::value() const
{
    ++m_field->valueReads;
    return m_field->value;
}

std::optional<QString> FakeAccessibleElement::selectedText() const
{
    ++m_field->selectedTextReads;
    if (!m_field->value)
        return std::nullopt;
    const auto [start, end] = selection();
    return m_field->value->mid(start, end - start);
}

int FakeAccessibleElement::replaceSelection(const QString& text)
{
    if (m_field->writeError != 0)
        return m_field->writeError;
    m_field->writes.append(text);
    if (m_field->writeTakesEffect && m_field->value) {
        const auto [start, end] = selection();
        m_field->value = m_field->value->left(start) + text + m_field->value->mid(end);
        m_field->selectionStart = m_field->selectionEnd = start + text.size();
    }
    return 0;
}

std::pair<qsizetype, qsizetype> FakeAccessibleElement::selection() const
{
    const qsizetype size = m_field->value ? m_field->value->size() : 0;
    if (m_field->selectionStart < 0)
        return {size, size};
    const qsizetype start = std::min(m_field->selectionStart, size);
    return {start, std::clamp(m_field->selectionEnd, start, size)};
}
