#pragma once

#include <memory>

#include "platform/AccessibleElement.h"

class AtspiCaller;
typedef struct _AtspiAccessible AtspiAccessible;

// An element of another application over AT-SPI 2. Holds a reference to the
// library's proxy, which only the accessibility thread may touch: every call
// is a job there, each a D-Bus request to the application bounded by the
// library's time-out and the caller's deadline.
class AtspiElement final : public AccessibleElement
{
public:
    // Codes of replaceText() and select() besides 0.
    static constexpr int kNotEditable = -1;   // the element takes no text
    static constexpr int kRefused = -2;       // the application declined the write
    static constexpr int kNoAnswer = -3;      // the request failed or timed out

    // Adopts one reference to `accessible`, given back on the accessibility
    // thread.
    AtspiElement(std::shared_ptr<const AtspiCaller> caller, AtspiAccessible* accessible);
    ~AtspiElement() override;

    QString role() const override;
    bool isPasswordField() const override;
    std::optional<QString> value() const override;
    std::optional<TextSpan> selection() const override;
    // One request to the accessibility thread, the text read once.
    Snapshot snapshot() const override;
    int replaceText(TextSpan span, const QString& text) override;
    int select(TextSpan span) override;

    // What the element has learned of its field; the accessibility thread's.
    struct Known;

private:
    const std::shared_ptr<const AtspiCaller> m_caller;
    AtspiAccessible* const m_accessible;
    const std::shared_ptr<Known> m_known;
};
