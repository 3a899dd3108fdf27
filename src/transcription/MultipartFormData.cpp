#include "transcription/MultipartFormData.h"

#include <QUuid>

namespace {
constexpr auto kCrLf = "\r\n";
}

QString MultipartFormData::newBoundary()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QByteArray MultipartFormData::contentType() const
{
    return "multipart/form-data; boundary=" + m_boundary.toUtf8();
}

void MultipartFormData::appendOpening(const QString& disposition)
{
    m_body += "--" + m_boundary.toUtf8() + kCrLf;
    m_body += "Content-Disposition: form-data; " + disposition.toUtf8() + kCrLf;
}

void MultipartFormData::appendMultipart(const QString& name, const QString& value)
{
    appendOpening(QStringLiteral("name=\"%1\"").arg(name));
    m_body += kCrLf;
    m_body += value.toUtf8() + kCrLf;
}

void MultipartFormData::appendFile(const QString& name, const QString& fileName,
                                   const QString& contentType, const QByteArray& bytes)
{
    appendOpening(QStringLiteral("name=\"%1\"; filename=\"%2\"").arg(name, fileName));
    m_body += "Content-Type: " + contentType.toUtf8() + kCrLf + kCrLf;
    m_body += bytes;
    m_body += kCrLf;
}

QByteArray MultipartFormData::finished() const
{
    return m_body + "--" + m_boundary.toUtf8() + "--" + kCrLf;
}
