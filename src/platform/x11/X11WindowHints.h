#pragma once

#include "platform/WindowHints.h"

// The window hints as EWMH properties over Qt's X connection; without a
// window manager to tell, they do nothing.
WindowHints x11WindowHints();
