#include "platform/HotkeyBackend.h"

HotkeyBackend::HotkeyBackend(QObject* parent)
    : QObject(parent)
{
}

HotkeyBackend::~HotkeyBackend() = default;
