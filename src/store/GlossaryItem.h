#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

// One glossary term.
struct GlossaryItem
{
    QString id;
    QString userId;
    QString content;
    std::optional<QDateTime> deletedAt;
    QDateTime createdAt;
    QDateTime updatedAt;
};
