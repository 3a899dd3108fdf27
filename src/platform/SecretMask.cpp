#include "platform/SecretMask.h"

#include <QtGlobal>

bool SecretMask::isCredentialHeader(const QByteArray& name)
{
    const QByteArray lower = name.toLower();
    return lower == "authorization" || lower == "apikey";
}

QString SecretMask::headerValue(const QByteArray& name, const QByteArray& value)
{
    const QString text = QString::fromUtf8(value);
    if (!isCredentialHeader(name))
        return text;
    // Keep an authentication scheme such as "Bearer ".
    const qsizetype space = text.indexOf(QLatin1Char(' '));
    if (space < 0)
        return secretPrefix(text);
    return text.left(space + 1) + secretPrefix(text.mid(space + 1));
}

QString SecretMask::secretPrefix(const QString& secret)
{
    return secret.left(qMin<qsizetype>(3, secret.size() / 4));
}
