#pragma once

#include <QString>

// Copies the audio of the MP4 file `source` (fragmented or not) into a new,
// plain .m4a at `target` with its index (moov) before the samples, the form
// every reader accepts. `primingSamples` is the encoder's delay at the start
// of the stream (fragmented files do not record it); the plain file's edit
// list hides it, so readers get the audio from its first captured sample.
// Returns false with `error` set when that fails; a partly written `target`
// is then removed. `source` is only read.
bool remuxToPlainM4a(const QString& source, const QString& target, int primingSamples,
                     QString* error);
