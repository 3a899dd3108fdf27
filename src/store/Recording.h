#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

enum class RecordingStatus { recording, paused, recorded, transcribed, completed, failed };

QString toText(RecordingStatus status);
// Exact, case-sensitive; no value for any other text.
std::optional<RecordingStatus> recordingStatusFromText(const QString& text);

// One dictation.
struct Recording
{
    QString id;
    QString userId;
    QDateTime createdAt;
    std::optional<double> duration;
    RecordingStatus status = RecordingStatus::recording;
    int sliceCount = 0;
    std::optional<QString> rawText;
    std::optional<QString> cleanedText;
    std::optional<QString> provider;
    std::optional<QString> deviceId;
    std::optional<QString> error;
    std::optional<QDateTime> deletedAt;
    QDateTime updatedAt;
};
