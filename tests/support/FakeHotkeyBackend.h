#pragma once

#include <QList>
#include <QStringList>
#include <optional>

#include "platform/HotkeyBackend.h"

// A HotkeyBackend that records what it is asked and presses on request.
class FakeHotkeyBackend final : public HotkeyBackend
{
public:
    struct Combination
    {
        int keyCode = 0;
        int modifiers = 0;
        bool operator==(const Combination&) const = default;
    };

    HotkeyStatus registerHotkey(int keyCode, int modifiers) override;
    void unregisterHotkey() override;
    bool isRegistered() const override { return m_registered.has_value(); }

    // Every later registration fails with `status` (until refuseWith({})).
    void refuseWith(const HotkeyStatus& status) { m_refusal = status; }
    // A press of the registered combination; nothing happens without one,
    // as no real key grab reports presses of a combination it does not hold.
    void press();

    std::optional<Combination> registered() const { return m_registered; }
    // In call order: "register <keyCode> <modifiers>", "unregister".
    const QStringList& calls() const { return m_calls; }

private:
    HotkeyStatus m_refusal;
    std::optional<Combination> m_registered;
    QStringList m_calls;
};
