#pragma once

#include "platform/AccessibleElement.h"

typedef struct _AtspiAccessible AtspiAccessible;

// An element of another application over AT-SPI 2. Holds a reference to the
// library's proxy; every call is a D-Bus request to the application, bounded
// by the library's time-out.
class AtspiElement final : public AccessibleElement
{
public:
    // Codes of replaceSelection() besides 0.
    static constexpr int kNotEditable = -1;   // the element takes no text
    static constexpr int kRefused = -2;       // the application declined the write
    static constexpr int kNoAnswer = -3;      // the request failed or timed out

    // Takes a new reference to `accessible`.
    explicit AtspiElement(AtspiAccessible* accessible);
    ~AtspiElement() override;

    QString role() const override;
    bool isPasswordField() const override;
    std::optional<QString> value() const override;
    std::optional<QString> selectedText() const override;
    int replaceSelection(const QString& text) override;

private:
    AtspiAccessible* m_accessible;
};
