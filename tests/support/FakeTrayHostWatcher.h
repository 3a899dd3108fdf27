#pragma once

#include "platform/TrayHostWatcher.h"

// A desktop whose tray host the test starts.
class FakeTrayHostWatcher final : public TrayHostWatcher
{
public:
    bool isAvailable() const override { return available; }

    // A host comes up.
    void startHost()
    {
        available = true;
        emit appeared();
    }

    bool available = false;
};
