#pragma once

#include <memory>

// Posts synthetic key presses to the window that has keyboard focus, as if
// the user typed them.
class KeySynthesizer
{
public:
    virtual ~KeySynthesizer();
    KeySynthesizer(const KeySynthesizer&) = delete;
    KeySynthesizer& operator=(const KeySynthesizer&) = delete;

    // Whether key events can be posted at all.
    virtual bool isAvailable() = 0;
    // Posts the focused window's paste shortcut (press and release). False
    // when the key events could not be made or posted; true means they were
    // posted, not that the window pasted.
    virtual bool postPaste() = 0;

protected:
    KeySynthesizer() = default;
};
