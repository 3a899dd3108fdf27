#pragma once

#include <QStringList>

#include "platform/KeySynthesizer.h"

// Records each paste it is asked to post, with what the clipboard held then.
class FakeKeySynthesizer final : public KeySynthesizer
{
public:
    bool available = true;   // false: no key events can be made

    QStringList clipboardAtPaste;   // the clipboard's text at each posted paste
    int pastes() const { return int(clipboardAtPaste.size()); }

    bool isAvailable() override { return available; }
    bool postPaste() override;
};
