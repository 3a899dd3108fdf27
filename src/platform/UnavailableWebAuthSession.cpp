#include "platform/UnavailableWebAuthSession.h"

QCoro::Task<Result<QUrl, QString>> UnavailableWebAuthSession::authenticate(QUrl, QString)
{
    co_return QString::fromLatin1(kDescription);
}
