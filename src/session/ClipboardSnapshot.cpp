#include "session/ClipboardSnapshot.h"

#include <QClipboard>
#include <QMimeData>

#include "platform/ClipboardReader.h"
#include "store/Logger.h"

namespace {
const QString kQtImageFormat = QStringLiteral("application/x-qt-image");
}

ClipboardSnapshot ClipboardSnapshot::take(const QClipboard& clipboard, ClipboardReader* reader,
                                          Logger& logger)
{
    ClipboardSnapshot snapshot;
    // Reading our own content through the window system would wait for
    // ourselves; the toolkit reads another owner's without any deadline.
    if (reader && !clipboard.ownsClipboard()) {
        if (std::optional<ClipboardContent> content = reader->read(ClipboardLimits{})) {
            for (const QString& line : content->leftOut)
                logger.warning(QStringLiteral("TextInjector: clipboard format left out: ") + line);
            snapshot.m_formats = std::move(content->formats);
            return snapshot;
        }
    }
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
