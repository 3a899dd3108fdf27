// GLib before Qt: its struct fields clash with Qt's keywords.
#include <atspi/atspi.h>

#include "platform/atspi/GlibHandles.h"
#include "platform/atspi/AtspiElement.h"

#include <QList>

namespace {

// The text of `text` between two character offsets (-1: to the end).
std::optional<QString> textBetween(AtspiText* text, int start, int end)
{
    GErrorSlot error;
    GFreeText chars{atspi_text_get_text(text, start, end, error.out())};
    if (error || !chars.text)
        return std::nullopt;
    return QString::fromUtf8(chars.text);
}

// An element's whole text and the unit of its offsets. AT-SPI counts
// characters (code points), and GTK does; Qt 6.4 counts UTF-16 units. The
// element's own character count tells which.
struct ElementText
{
    QString text;
    bool countsUtf16 = false;

    // The index into `text` of an offset the element gave.
    qsizetype indexOf(int offset) const
    {
        if (countsUtf16)
            return std::clamp<qsizetype>(offset, 0, text.size());
        qsizetype index = 0;
        for (int n = 0; n < offset && index < text.size(); ++n)
            index += (text.at(index).isHighSurrogate() && index + 1 < text.size()) ? 2 : 1;
        return index;
    }

    // The length of `part` in the element's offsets.
    int lengthOf(const QString& part) const
    {
        return int(countsUtf16 ? part.size() : part.toUcs4().size());
    }
};

std::optional<ElementText> wholeText(AtspiText* text)
{
    GErrorSlot error;
    const int count = atspi_text_get_character_count(text, error.out());
    if (error || count < 0)
        return std::nullopt;
    auto contents = textBetween(text, 0, count);
    if (!contents)
        return std::nullopt;
    return ElementText{*contents, count == contents->size()};
}

// The selected range, or an empty one at the caret; none when unreadable.
std::optional<std::pair<int, int>> selectionOrCaret(AtspiText* text)
{
    GErrorSlot error;
    const int selections = atspi_text_get_n_selections(text, error.out());
    if (error)
        return std::nullopt;
    if (selections > 0) {
        GErrorSlot rangeError;
        AtspiRange* range = atspi_text_get_selection(text, 0, rangeError.out());
        if (rangeError || !range)
            return std::nullopt;
        const std::pair<int, int> span{std::min(range->start_offset, range->end_offset),
                                       std::max(range->start_offset, range->end_offset)};
        g_free(range);
        if (span.first < span.second)
            return span;
    }
    GErrorSlot caretError;
    const int caret = atspi_text_get_caret_offset(text, caretError.out());
    if (caretError || caret < 0)
        return std::nullopt;
    return std::pair{caret, caret};
}

}

AtspiElement::AtspiElement(AtspiAccessible* accessible)
    : m_accessible(static_cast<AtspiAccessible*>(g_object_ref(accessible)))
{
}

AtspiElement::~AtspiElement()
{
    g_object_unref(m_accessible);
}

QString AtspiElement::role() const
{
    GErrorSlot error;
    GFreeText name{atspi_accessible_get_role_name(m_accessible, error.out())};
    if (error || !name.text || !*name.text)
        return QStringLiteral("unknown");
    return QString::fromUtf8(name.text);
}

bool AtspiElement::isPasswordField() const
{
    GErrorSlot error;
    const AtspiRole role = atspi_accessible_get_role(m_accessible, error.out());
    return !error && role == ATSPI_ROLE_PASSWORD_TEXT;
}

std::optional<QString> AtspiElement::value() const
{
    GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(m_accessible)};
    if (!text.object)
        return std::nullopt;
    const auto contents = wholeText(text.object);
    return contents ? std::optional(contents->text) : std::nullopt;
}

std::optional<QString> AtspiElement::selectedText() const
{
    GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(m_accessible)};
    if (!text.object)
        return std::nullopt;
    const auto span = selectionOrCaret(text.object);
    if (!span)
        return std::nullopt;
    if (span->first == span->second)
        return QString();
    return textBetween(text.object, span->first, span->second);
}

int AtspiElement::replaceSelection(const QString& insertion)
{
    GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(m_accessible)};
    GObjectRef<AtspiEditableText> editable{atspi_accessible_get_editable_text_iface(m_accessible)};
    if (!text.object || !editable.object)
        return kNotEditable;
    const auto current = wholeText(text.object);
    const auto span = selectionOrCaret(text.object);
    if (!current || !span)
        return kNoAnswer;

    // Inserting with a length is read differently by each toolkit (UTF-16
    // units, bytes); replacing the whole text is understood by all.
    const QString updated = current->text.left(current->indexOf(span->first)) + insertion
        + current->text.mid(current->indexOf(span->second));
    GErrorSlot error;
    const gboolean accepted = atspi_editable_text_set_text_contents(
        editable.object, updated.toUtf8().constData(), error.out());
    if (error)
        return kNoAnswer;
    if (!accepted)
        return kRefused;

    GErrorSlot caretError;   // best effort: the caret after the insertion
    atspi_text_set_caret_offset(text.object, span->first + current->lengthOf(insertion),
                                caretError.out());
    return 0;
}
