#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPair>
#include <QString>

class ClipboardReader;
class Logger;
class QClipboard;

// Everything the clipboard holds, in every format it offers (text, rich text,
// images, file lists, whatever the owner put there), to put back later.
class ClipboardSnapshot
{
public:
    // Another program's clipboard is read through `reader`, within its
    // limits: a format that does not come in time or is too large is left
    // out and logged. Our own is read in process.
    static ClipboardSnapshot take(const QClipboard& clipboard, ClipboardReader* reader, Logger& logger);

    // Nothing was on the clipboard.
    bool isEmpty() const { return m_formats.isEmpty() && m_image.isNull(); }
    // Makes the clipboard hold the snapshot's content again.
    void restore(QClipboard& clipboard) const;

private:
    QList<QPair<QString, QByteArray>> m_formats;
    // Qt's own image format carries a QImage, not bytes.
    QImage m_image;
};
