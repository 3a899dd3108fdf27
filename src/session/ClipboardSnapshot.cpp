#include "session/ClipboardSnapshot.h"

#include <QClipboard>
#include <QMimeData>

namespace {
const QString kQtImageFormat = QStringLiteral("application/x-qt-image");
}

ClipboardSnapshot ClipboardSnapshot::take(const QClipboard& clipboard)
{
    ClipboardSnapshot snapshot;
    const QMimeData* data = clipboard.mimeData();
    if (!data)
        return snapshot;
    for (const QString& format : data->formats()) {
        if (format != kQtImageFormat)
            snapshot.m_formats.append({format, data->data(format)});
    }
    if (data->hasImage())
        snapshot.m_image = qvariant_cast<QImage>(data->imageData());
    return snapshot;
}

void ClipboardSnapshot::restore(QClipboard& clipboard) const
{
    auto* data = new QMimeData;
    for (const auto& [format, bytes] : m_formats)
        data->setData(format, bytes);
    if (!m_image.isNull())
        data->setImageData(m_image);
    clipboard.setMimeData(data);   // the clipboard owns it
}
