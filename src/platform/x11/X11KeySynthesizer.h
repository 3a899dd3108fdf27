#pragma once

#include <QStringList>
#include <chrono>

#include "platform/KeySynthesizer.h"

// The synthesizer's waits; tests shrink them.
struct X11KeyTiming
{
    // How long to wait for keys the user still holds (the hot key's) to come
    // up: with them down the target sees another shortcut, and the hot key's
    // grab keeps the keyboard to this process.
    std::chrono::milliseconds keyReleaseWait = std::chrono::seconds(1);
    std::chrono::milliseconds keyPollInterval = std::chrono::milliseconds(10);
};

// Key events through the XTest extension on Qt's X connection: Ctrl+V, or
// Ctrl+Shift+V when the focused window is a terminal emulator (where Ctrl+V
// means something else).
class X11KeySynthesizer final : public KeySynthesizer
{
public:
    explicit X11KeySynthesizer(X11KeyTiming timing = {}) : m_timing(timing) {}

    bool isAvailable() override;
    bool postPaste() override;

    // Whether a window of this WM_CLASS (instance, class) is a terminal emulator.
    static bool isTerminal(const QStringList& wmClass);

private:
    X11KeyTiming m_timing;
};
