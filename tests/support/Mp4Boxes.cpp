#include "support/Mp4Boxes.h"

#include <QFile>
#include <QtEndian>

QStringList topLevelMp4Boxes(const QString& path)
{
    QFile file(path);
    QStringList types;
    if (!file.open(QIODevice::ReadOnly))
        return types;
    const qint64 end = file.size();
    qint64 at = 0;
    while (at + 8 <= end) {
        file.seek(at);
        const QByteArray header = file.read(16);
        quint64 size = qFromBigEndian<quint32>(header.constData());
        if (size == 1 && header.size() == 16)
            size = qFromBigEndian<quint64>(header.constData() + 8);
        else if (size == 0)
            size = quint64(end - at);
        if (size < 8 || at + qint64(size) > end)
            break;
        types << QString::fromLatin1(header.mid(4, 4));
        at += qint64(size);
    }
    return types;
}
