#pragma once

#include <QByteArray>
#include <QString>

// What of a credential may appear in a log line: its scheme and a few leading
// characters, enough to tell two keys apart, never enough to use one.
namespace SecretMask {
// "Authorization" and "Apikey", in any letter case.
bool isCredentialHeader(const QByteArray& name);
// A credential header's value masked ("Bearer sk-…" becomes "Bearer sk-"); any
// other header's value as it is.
QString headerValue(const QByteArray& name, const QByteArray& value);
// At most 3 leading characters of `secret`, and never more than a quarter of it.
QString secretPrefix(const QString& secret);
}
