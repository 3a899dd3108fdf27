#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <optional>

// What a read of another program's clipboard may cost: a program that is
// slow to answer, never answers or holds a huge content must not stop the
// dictation for long.
struct ClipboardLimits
{
    // For the whole read, every format included.
    std::chrono::milliseconds timeout = std::chrono::milliseconds(300);
    // For each answer of the owner: a format that never comes costs no more
    // than this, and the others are still asked for.
    std::chrono::milliseconds answerTimeout = std::chrono::milliseconds(100);
    // Of all formats together.
    qsizetype maxBytes = 16 * 1024 * 1024;
};

// The formats read, under the names QMimeData uses, and a line for each one
// that was left out ("image/png: no answer within 100 ms").
struct ClipboardContent
{
    QList<QPair<QString, QByteArray>> formats;
    QStringList leftOut;
};

// Reads the clipboard while another program owns it, within limits.
class ClipboardReader
{
public:
    virtual ~ClipboardReader();

    // None when this backend cannot read here (no X display): the caller
    // falls back to the toolkit's clipboard.
    virtual std::optional<ClipboardContent> read(const ClipboardLimits& limits) = 0;
};
