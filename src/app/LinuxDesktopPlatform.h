#pragma once

#include "session/SessionManager.h"

// The controller's platform on the real Linux desktop: Qt Multimedia for the
// microphone, FFmpeg for the slice files, X11 for the hot key, windows, keys
// and permissions, AT-SPI 2 for accessibility and Qt's message boxes.
SessionPlatform linuxDesktopPlatform();
