#pragma once

#include <QString>
#include <optional>

// A part of an element's text as indices into its value() (QString indices,
// UTF-16 units): [start, end). An empty span is the caret.
struct TextSpan
{
    qsizetype start = 0;
    qsizetype end = 0;

    bool operator==(const TextSpan&) const = default;
};

// One element of another application's user interface, reached through the
// accessibility layer. Every call asks the application afresh; an application
// that has gone or hangs makes reads give nothing and writes fail.
class AccessibleElement
{
public:
    // What is read of a field before writing into it.
    struct Snapshot
    {
        QString role;
        bool password = true;
        std::optional<QString> value;        // not read from a password field
        std::optional<TextSpan> selection;   // read only with a value
    };

    virtual ~AccessibleElement();
    AccessibleElement(const AccessibleElement&) = delete;
    AccessibleElement& operator=(const AccessibleElement&) = delete;

    // The element's role in the accessibility layer's own words ("text",
    // "password text", "push button"); "unknown" when it cannot be read.
    virtual QString role() const = 0;
    // A field whose text is secret. Its value and selection must not be read.
    virtual bool isPasswordField() const = 0;
    // The element's whole text; none when it has no text to read.
    virtual std::optional<QString> value() const = 0;
    // The selected part of its text, or an empty span at the caret; none when
    // it has no text to read.
    virtual std::optional<TextSpan> selection() const = 0;
    // The role, the password state and, unless it is a password field, the
    // value and (with a value) the selection, as the calls above answer them;
    // a layer may read them all at once.
    virtual Snapshot snapshot() const;
    // Replaces the part `span` of the value with `text` (deleting the part,
    // then inserting at its start), the way typing over a selection does, so
    // the rest of the text keeps its formatting. Spans here and in select()
    // are indices into the value as last read through this element. 0 on success, else a nonzero
    // error code of the accessibility layer. Success does not prove the text
    // changed as asked: read the value back.
    virtual int replaceText(TextSpan span, const QString& text) = 0;
    // Selects `span`; an empty span puts the caret there. 0 on success, else
    // a nonzero error code.
    virtual int select(TextSpan span) = 0;

protected:
    AccessibleElement() = default;
};
