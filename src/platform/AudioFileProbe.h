#pragma once

#include <QString>

#include "platform/Result.h"

// The seconds of audio the file at `path` plays, read by decoding it as a
// player would: a slice file whose writer died with the process counts up to
// its last whole packet. Fails, saying why, when the file cannot be read or
// holds no audio at all. (The backend this build links: FFmpeg.)
Result<double, QString> probeAudioSeconds(const QString& path);
