#pragma once

#include <QString>
#include <functional>

// Reads one setting at the moment of use, so that a changed key, model or
// prompt applies to the next request without a restart.
using SettingReader = std::function<QString()>;
