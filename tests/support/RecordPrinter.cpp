#include "support/RecordPrinter.h"

#include <QStringList>

#include "store/TimeText.h"

namespace {

QString text(const std::optional<QString>& value) { return value ? "'" + *value + "'" : "none"; }
QString text(const std::optional<QDateTime>& value)
{
    return value ? TimeText::format(*value) : "none";
}
QString text(const std::optional<double>& value)
{
    return value ? QString::number(*value, 'g', 17) : "none";
}

}  // namespace

std::string describe(const Recording& r)
{
    return QStringList{r.id, r.userId, TimeText::format(r.createdAt), text(r.duration),
                       toText(r.status), QString::number(r.sliceCount), text(r.rawText),
                       text(r.cleanedText), text(r.provider), text(r.deviceId), text(r.error),
                       text(r.deletedAt), TimeText::format(r.updatedAt)}
        .join(" | ").toStdString();
}

std::string describe(const Slice& s)
{
    return QStringList{s.id, s.userId, s.recordingId, QString::number(s.sliceIndex), s.filename,
                       toText(s.status), text(s.rawText), text(s.duration), text(s.provider),
                       text(s.error), text(s.deletedAt), TimeText::format(s.updatedAt)}
        .join(" | ").toStdString();
}

std::string describe(const GlossaryItem& g)
{
    return QStringList{g.id, g.userId, g.content, text(g.deletedAt), TimeText::format(g.createdAt),
                       TimeText::format(g.updatedAt)}
        .join(" | ").toStdString();
}
