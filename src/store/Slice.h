#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

enum class SliceStatus { pending, processing, completed, failed, lost };

QString toText(SliceStatus status);
// Exact, case-sensitive; no value for any other text.
std::optional<SliceStatus> sliceStatusFromText(const QString& text);

// One timed piece of a recording's audio.
struct Slice
{
    QString id;
    QString userId;
    QString recordingId;
    int sliceIndex = 0;
    QString filename;
    SliceStatus status = SliceStatus::pending;
    std::optional<QString> rawText;
    std::optional<double> duration;
    std::optional<QString> provider;
    std::optional<QString> error;
    std::optional<QDateTime> deletedAt;
    QDateTime updatedAt;
};
