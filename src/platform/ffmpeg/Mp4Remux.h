#pragma once

#include <QString>

// Copies the audio of the MP4 file `source` (fragmented or not) into a new,
// plain .m4a at `target` with its index (moov) before the samples, the form
// every reader accepts. `primingSamples` is the encoder's delay at the start
// of the stream (fragmented files do not record it); the plain file's edit
// list hides it, so readers get the audio from its first captured sample.
// Returns false with `error` set when that fails; a partly written `target`
// is then removed. `source` is only read.
//
// A source cut short by a crash (`sourceMayBeCut`) ends at its first
// unreadable or torn packet: what came before it is kept.
bool remuxToPlainM4a(const QString& source, const QString& target, int primingSamples,
                     QString* error, bool sourceMayBeCut = false);

// Where rewriteAsPlainM4a() writes the plain file before it replaces the
// source: hidden, never a slice name, and still ending in .m4a for the muxer.
QString plainM4aTempPath(const QString& path);

// Replaces the MP4 file at `path` with its plain form (remuxToPlainM4a into
// plainM4aTempPath(), then one rename). On failure `path` is left as it was
// and `error` says why.
bool rewriteAsPlainM4a(const QString& path, int primingSamples, QString* error, bool sourceMayBeCut = false);

// Whether the file at `path` is fragmented MP4 (holds a "moof" box at its
// top level), the form a slice has while it is written.
bool isFragmentedMp4(const QString& path);
