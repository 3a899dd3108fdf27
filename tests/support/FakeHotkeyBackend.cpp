#include "support/FakeHotkeyBackend.h"

HotkeyStatus FakeHotkeyBackend::registerHotkey(int keyCode, int modifiers)
{
    m_calls << QString("register %1 %2").arg(keyCode).arg(modifiers);
    if (!m_refusal.isOk())
        return m_refusal;
    m_registered = Combination{keyCode, modifiers};
    return {};
}

void FakeHotkeyBackend::unregisterHotkey()
{
    m_calls << "unregister";
    m_registered.reset();
}

void FakeHotkeyBackend::press()
{
    if (m_registered)
        emit pressed();
}
