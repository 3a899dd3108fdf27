#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

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
    int writeError = 0;             // what replaceSelection() returns
    bool writeTakesEffect = true;   // false: a write "succeeds" but changes nothing

    int valueReads = 0;
    int selectedTextReads = 0;
    QStringList writes;             // texts successfully written
};

class FakeAccessibleElement final : public AccessibleElement
{
public:
    explicit FakeAccessibleElement(std::shared_ptr<FakeField> field) : m_field(std::move(field)) {}

    QString role() const override { return m_field->role; }
    bool isPasswordField() const override { return m_field->password; }
    std::optional<QString> value() const override;
    std::optional<QString> selectedText() const override;
    int replaceSelection(const QString& text) override;

private:
    // The selection clamped to the value.
    std::pair<qsizetype, qsizetype> selection() const;

    std::shared_ptr<FakeField> m_field;
};
