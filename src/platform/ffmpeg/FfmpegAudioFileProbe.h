#pragma once

#include <QString>

#include "platform/Result.h"

// The seconds of audio the file at `path` plays, read by decoding it as a
// player would: a slice file whose writer died with the process counts up to
// its last whole packet. Fails, saying why, when the file cannot be read or
// holds no audio at all.
Result<double, QString> probeAudioSeconds(const QString& path);

// Brings a slice file that a dead process left behind into the form of a
// finished slice: a fragmented file, possibly cut mid-fragment, is rewritten
// in place as a plain m4a of all its whole packets (the form the recognition
// services are sure to accept). Returns the seconds it then plays; fails like
// probeAudioSeconds() when it holds no readable audio. A file that is already
// plain, or cannot be rewritten, is only measured and stays as it is.
Result<double, QString> finishLeftoverAudioFile(const QString& path);
