// GLib before Qt: its struct fields clash with Qt's keywords.
#include <atspi/atspi.h>

#include "platform/atspi/GlibHandles.h"
#include "platform/atspi/AtspiApplicationFacts.h"
#include "platform/atspi/AtspiCaller.h"
#include "platform/atspi/AtspiElement.h"
#include "platform/atspi/AtspiThread.h"

#include <QByteArray>
#include <QList>

// Everything in here runs on the accessibility thread.
namespace {

// The text of `text` between two offsets of the element (-1: to the end).
std::optional<QString> textBetween(AtspiText* text, int start, int end)
{
    GErrorSlot error;
    GFreeText chars{atspi_text_get_text(text, start, end, error.out())};
    if (error || !chars.text)
        return std::nullopt;
    return QString::fromUtf8(chars.text);
}

// An element's whole text and the unit of its offsets.
struct ElementText
{
    QString text;
    bool countsUtf16 = false;

    // The index into `text` of an offset of the element.
    qsizetype indexOf(int offset) const
    {
        if (countsUtf16)
            return std::clamp<qsizetype>(offset, 0, text.size());
        qsizetype index = 0;
        for (int n = 0; n < offset && index < text.size(); ++n)
            index += (text.at(index).isHighSurrogate() && index + 1 < text.size()) ? 2 : 1;
        return index;
    }

    // The element's offset of an index into `text`.
    int offsetOf(qsizetype index) const
    {
        return lengthOf(text.left(std::clamp<qsizetype>(index, 0, text.size())));
    }

    // The element's offsets of a span of `text`.
    std::pair<int, int> offsetsOf(TextSpan span) const
    {
        const int start = offsetOf(span.start);
        return {start, std::max(start, offsetOf(span.end))};
    }

    // The length of `part` in the element's offsets.
    int lengthOf(const QString& part) const
    {
        return int(countsUtf16 ? part.size() : part.toUcs4().size());
    }
};

}

struct AtspiElement::Known
{
    // The text the caller's indices refer to: the one it last read.
    std::optional<ElementText> lastRead;
};

namespace {

// Whether the element belongs to a Qt application. Qt counts the offsets in
// a text in UTF-16 units, GTK (and AT-SPI's own convention) in characters
// (code points); Qt reads the length of a text to insert in UTF-16 units
// (more pads the field with NULs, -1 inserts nothing), the ATK bridge of GTK
// (and of the other toolkits that use it) in bytes.
bool isQt(AtspiAccessible* accessible)
{
    return AtspiApplicationFacts::isQt(accessible).value_or(false);
}

// Read afresh; kept as the text the caller's next indices refer to.
std::optional<ElementText> wholeText(AtspiAccessible* accessible, AtspiText* text, AtspiElement::Known& known)
{
    GErrorSlot error;
    const int count = atspi_text_get_character_count(text, error.out());
    if (error || count < 0)
        return std::nullopt;
    auto contents = textBetween(text, 0, count);
    if (!contents)
        return std::nullopt;
    // The text tells the unit where the two differ (it holds characters
    // beyond 16 bits); where it is shorter than its count in either, a NUL
    // (which D-Bus cannot carry) cut it, and the toolkit tells.
    ElementText whole{*contents, count == contents->size()};
    if (whole.countsUtf16 || whole.lengthOf(*contents) == count) {
        known.lastRead = whole;
        return whole;
    }
    whole.countsUtf16 = isQt(accessible);
    // Read on past each NUL, so that the value shows the NULs that a write
    // with a wrong length left behind, and they can be taken out again.
    for (int offset = whole.lengthOf(whole.text); offset < count;) {
        whole.text += QChar(0);
        auto piece = textBetween(text, ++offset, count);
        if (!piece)
            return std::nullopt;
        whole.text += *piece;
        offset += whole.lengthOf(*piece);
    }
    known.lastRead = whole;
    return whole;
}

// The selected range in the element's offsets, or an empty one at the caret;
// none when unreadable.
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

// The element's role, asked once: its name and whether it is a password
// field both come from it. Unanswered, it is no password field (the caller
// tells an unanswered question apart where that matters).
struct Role
{
    QString name;
    bool password = false;
};

Role roleOf(AtspiAccessible* accessible)
{
    GErrorSlot error;
    const AtspiRole role = atspi_accessible_get_role(accessible, error.out());
    if (error)
        return {QStringLiteral("unknown")};
    // Roles beyond the ones libatspi names are asked by name.
    const bool named = role >= 0 && role < ATSPI_ROLE_COUNT && role != ATSPI_ROLE_EXTENDED;
    GErrorSlot nameError;
    GFreeText name{named ? atspi_role_get_name(role) : atspi_accessible_get_role_name(accessible, nameError.out())};
    const bool password = role == ATSPI_ROLE_PASSWORD_TEXT;
    if (nameError || !name.text || !*name.text)
        return {QStringLiteral("unknown"), password};
    return {QString::fromUtf8(name.text), password};
}

std::optional<QString> valueOf(AtspiAccessible* accessible, AtspiElement::Known& known)
{
    GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(accessible)};
    if (!text.get())
        return std::nullopt;
    const auto contents = wholeText(accessible, text.get(), known);
    return contents ? std::optional(contents->text) : std::nullopt;
}

// The selection as indices into `contents`, read through `text`.
std::optional<TextSpan> selectionIn(const ElementText& contents, AtspiText* text)
{
    const auto span = selectionOrCaret(text);
    if (!span)
        return std::nullopt;
    return TextSpan{contents.indexOf(span->first), contents.indexOf(span->second)};
}

std::optional<TextSpan> selectionOf(AtspiAccessible* accessible, AtspiElement::Known& known)
{
    GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(accessible)};
    if (!text.get())
        return std::nullopt;
    const auto contents = wholeText(accessible, text.get(), known);
    return contents ? selectionIn(*contents, text.get()) : std::nullopt;
}

AccessibleElement::Snapshot snapshotOf(AtspiAccessible* accessible, AtspiElement::Known& known)
{
    const Role role = roleOf(accessible);
    AccessibleElement::Snapshot snapshot{role.name, role.password};
    if (snapshot.password)
        return snapshot;
    GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(accessible)};
    const auto contents = text.get() ? wholeText(accessible, text.get(), known) : std::nullopt;
    if (!contents)
        return snapshot;
    snapshot.value = contents->text;
    snapshot.selection = selectionIn(*contents, text.get());
    return snapshot;
}

// The text the caller's indices refer to: the one it last read, else read now.
std::optional<ElementText> textForIndices(AtspiAccessible* accessible, AtspiText* text,
                                          AtspiElement::Known& known)
{
    return known.lastRead ? known.lastRead : wholeText(accessible, text, known);
}

// Deletes, then inserts: unlike replacing the whole text, this leaves the
// rest of a rich text (formatting, links, embedded objects) as it was.
int replaceTextOf(AtspiAccessible* accessible, AtspiElement::Known& known, TextSpan span,
                  const QString& insertion)
{
    GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(accessible)};
    GObjectRef<AtspiEditableText> editable{atspi_accessible_get_editable_text_iface(accessible)};
    if (!text.get() || !editable.get())
        return AtspiElement::kNotEditable;
    const auto current = textForIndices(accessible, text.get(), known);
    if (!current)
        return AtspiElement::kNoAnswer;
    const auto [start, end] = current->offsetsOf(span);
    // The write changes the text: later indices refer to the next one read.
    known.lastRead.reset();

    if (end > start) {
        GErrorSlot error;
        const gboolean deleted =
            atspi_editable_text_delete_text(editable.get(), start, end, error.out());
        if (error)
            return AtspiElement::kNoAnswer;
        if (!deleted)
            return AtspiElement::kRefused;
    }
    if (!insertion.isEmpty()) {
        const QByteArray utf8 = insertion.toUtf8();
        const int length = isQt(accessible) ? int(insertion.size()) : int(utf8.size());
        GErrorSlot error;
        const gboolean inserted = atspi_editable_text_insert_text(
            editable.get(), start, utf8.constData(), length, error.out());
        if (error)
            return AtspiElement::kNoAnswer;
        if (!inserted)
            return AtspiElement::kRefused;
    }
    GErrorSlot caretError;   // best effort: the caret after the insertion
    atspi_text_set_caret_offset(text.get(), start + current->lengthOf(insertion), caretError.out());
    return 0;
}

int selectIn(AtspiAccessible* accessible, AtspiElement::Known& known, TextSpan span)
{
    GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(accessible)};
    if (!text.get())
        return AtspiElement::kNotEditable;
    const auto current = textForIndices(accessible, text.get(), known);
    if (!current)
        return AtspiElement::kNoAnswer;
    const auto [start, end] = current->offsetsOf(span);

    GErrorSlot error;
    gboolean done = FALSE;
    if (start == end) {
        done = atspi_text_set_caret_offset(text.get(), start, error.out());
    } else {
        GErrorSlot countError;
        const int selections = atspi_text_get_n_selections(text.get(), countError.out());
        done = selections > 0 ? atspi_text_set_selection(text.get(), 0, start, end, error.out())
                              : atspi_text_add_selection(text.get(), start, end, error.out());
    }
    if (error)
        return AtspiElement::kNoAnswer;
    return done ? 0 : AtspiElement::kRefused;
}

}

AtspiElement::AtspiElement(std::shared_ptr<const AtspiCaller> caller, AtspiAccessible* accessible)
    : m_caller(std::move(caller)), m_accessible(accessible), m_known(std::make_shared<Known>())
{
}

AtspiElement::~AtspiElement()
{
    AtspiThread::instance().post([accessible = m_accessible] { g_object_unref(accessible); });
}

QString AtspiElement::role() const
{
    return m_caller->ask(QStringLiteral("role"), [a = m_accessible] { return roleOf(a).name; })
        .value_or(QStringLiteral("unknown"));
}

bool AtspiElement::isPasswordField() const
{
    // Unanswered, it may be one: then its value is not read either.
    return m_caller->ask(QStringLiteral("password state"), [a = m_accessible] { return roleOf(a).password; })
        .value_or(true);
}

std::optional<QString> AtspiElement::value() const
{
    return m_caller->ask(QStringLiteral("value"), [a = m_accessible, k = m_known] { return valueOf(a, *k); })
        .value_or(std::nullopt);
}

std::optional<TextSpan> AtspiElement::selection() const
{
    return m_caller->ask(QStringLiteral("selection"), [a = m_accessible, k = m_known] { return selectionOf(a, *k); })
        .value_or(std::nullopt);
}

AccessibleElement::Snapshot AtspiElement::snapshot() const
{
    // Unanswered, it may be a password field: then nothing else is read.
    return m_caller->ask(QStringLiteral("field"), [a = m_accessible, k = m_known] { return snapshotOf(a, *k); })
        .value_or(Snapshot{QStringLiteral("unknown"), true});
}

int AtspiElement::replaceText(TextSpan span, const QString& text)
{
    return m_caller->ask(QStringLiteral("write"),
                         [a = m_accessible, k = m_known, span, text] { return replaceTextOf(a, *k, span, text); })
        .value_or(kNoAnswer);
}

int AtspiElement::select(TextSpan span)
{
    return m_caller->ask(QStringLiteral("selection change"),
                         [a = m_accessible, k = m_known, span] { return selectIn(a, *k, span); })
        .value_or(kNoAnswer);
}
