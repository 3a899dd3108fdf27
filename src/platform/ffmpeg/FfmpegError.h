#pragma once

#include <QString>

// FFmpeg's text for one of its negative error codes.
QString ffmpegErrorText(int code);

// FFmpeg's form of a local file path: with the "file:" protocol, so that a
// colon in the path is never read as a protocol name.
QByteArray ffmpegFileUrl(const QString& path);
