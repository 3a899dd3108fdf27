#pragma once

#include <QStringList>

// The four-letter types of an MP4 file's top-level boxes, in file order
// ("ftyp", "moov", "mdat", ...); stops at the first box that does not fit.
QStringList topLevelMp4Boxes(const QString& path);
