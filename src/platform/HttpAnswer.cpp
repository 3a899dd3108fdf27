#include "platform/HttpAnswer.h"

#include <QJsonParseError>
#include <QStringDecoder>

std::optional<QString> HttpAnswer::bodyText() const
{
    // Stateless: a sequence cut off at the end is an error, not left pending.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString HttpAnswer::bodyTextOr(const QString& fallback) const
{
    return bodyText().value_or(fallback);
}

Result<QJsonDocument, HttpError> HttpAnswer::bodyJson() const
{
    QJsonParseError parseError;
    QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return HttpError::malformedJson(
            QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    return document;
}
