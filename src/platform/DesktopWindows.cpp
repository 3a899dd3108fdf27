#include "platform/DesktopWindows.h"

bool DesktopApplication::isSameApplication(const DesktopApplication& other) const
{
    if (pid > 0 || other.pid > 0)
        return pid == other.pid;
    return windowId == other.windowId;
}

DesktopWindows::~DesktopWindows() = default;
