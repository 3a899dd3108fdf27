#pragma once

#include <QString>
#include <functional>

#include "platform/Result.h"

// Brings a slice file that a dead process left behind into the form of a
// finished slice and returns the seconds it then plays, or why it could not
// be read. The app passes in its backend's (FfmpegAudioFileProbe.h).
using LeftoverAudioFinisher = std::function<Result<double, QString>(const QString& path)>;
