#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <optional>

#include "platform/Result.h"
#include "platform/HttpError.h"

// The answer to one request: its status and its whole body.
struct HttpAnswer
{
    // None when the answer was not an HTTP answer.
    std::optional<int> statusCode;
    QByteArray body;

    // The body as text; none when it is not valid UTF-8.
    std::optional<QString> bodyText() const;
    // The body as text, or `fallback` when it is not valid UTF-8.
    QString bodyTextOr(const QString& fallback) const;
    Result<QJsonDocument, HttpError> bodyJson() const;
};
