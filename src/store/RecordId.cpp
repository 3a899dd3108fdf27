#include "store/RecordId.h"

#include <QUuid>

QString newRecordId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
}
