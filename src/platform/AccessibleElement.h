#pragma once

#include <QString>
#include <optional>

// One element of another application's user interface, reached through the
// accessibility layer. Every call asks the application afresh; an application
// that has gone or hangs makes reads give nothing and writes fail.
class AccessibleElement
{
public:
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
    // The selected part of its text (empty when nothing is selected); none
    // when it has no text to read.
    virtual std::optional<QString> selectedText() const = 0;
    // Replaces the selection with `text`, or inserts it at the caret when
    // nothing is selected. 0 on success, else a nonzero error code of the
    // accessibility layer. Success does not prove the text changed: read the
    // value back.
    virtual int replaceSelection(const QString& text) = 0;

protected:
    AccessibleElement() = default;
};
