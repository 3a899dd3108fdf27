#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "platform/Accessibility.h"
#include "platform/AccessibleElement.h"

// The state of one scripted text field, shared by every element handle made
// for it, so that a test can script it and inspect what was done to it.
struct FakeField
{
    QString role = QStringLiteral("text");
    bool password = false;
    std::optional<QString> value;   // none: the value cannot be read
    // The selection as [start, end) in the value; start == end is the caret.
    // Negative: the caret is at the end.
    qsizetype selectionStart = -1;
    qsizetype selectionEnd = -1;
    int writeError = 0;             // what replaceText() returns
    bool writeTakesEffect = true;   // false: a write "succeeds" but changes nothing
    // What a write puts in place of the text it was given (an application
    // that reads the length in another unit); unset: the text itself.
    std::function<QString(const QString&)> writeMangles;
    // Set: after a write the value is this, whatever was written (an
    // application that changes the field its own way).
    std::optional<QString> valueAfterWrite;
    // After a write the value cannot be read any more.
    bool valueGoneAfterWrite = false;
    // Requests ("role", "value", "selection", "write", …) that get no answer
    // in time: each is told to the layer's handler and reads as nothing.
    QStringList unanswered;

    int valueReads = 0;
    int selectionReads = 0;
    QStringList writes;             // texts successfully written
    QList<TextSpan> spansWritten;   // where each of them went
    QList<TextSpan> selected;       // every select()

    // The selection clamped to the value.
    TextSpan selection() const;
};

class FakeAccessibleElement final : public AccessibleElement
{
public:
    // `unansweredHandler` is the layer's (it may be empty).
    FakeAccessibleElement(std::shared_ptr<FakeField> field,
                          Accessibility::UnansweredHandler unansweredHandler)
        : m_field(std::move(field)), m_unansweredHandler(std::move(unansweredHandler))
    {
    }

    QString role() const override;
    bool isPasswordField() const override;
    std::optional<QString> value() const override;
    std::optional<TextSpan> selection() const override;
    int replaceText(TextSpan span, const QString& text) override;
    int select(TextSpan span) override;

private:
    // Whether `request` is scripted to go unanswered (and tells so).
    bool goesUnanswered(const QString& request) const;

    std::shared_ptr<FakeField> m_field;
    const Accessibility::UnansweredHandler m_unansweredHandler;
};
